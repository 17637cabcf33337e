#include "desktop/icon_image.h"

#include <mutex>
#include <unordered_map>

namespace parlivo {

namespace {

// The handle table: every live image by its handle. An image enters it when
// it is made and leaves it when the last icon holding it is destroyed.
struct HandleTable {
  std::mutex mutex;
  std::uint32_t lastHandle = 0;
  std::unordered_map<std::uint32_t, std::weak_ptr<const void>> images;
};

// Never destroyed, so icons held by static objects can still leave the
// table at program exit.
HandleTable& Table() {
  static auto* table = new HandleTable;
  return *table;
}

}  // namespace

struct TIcon::Image {
  Image(std::uint32_t handle, std::string png) : handle(handle), png(std::move(png)) {}
  ~Image() {
    HandleTable& table = Table();
    const std::lock_guard lock(table.mutex);
    table.images.erase(handle);
  }
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;

  const std::uint32_t handle;
  const std::string png;
};

TIcon TIcon::FromPng(std::string png) {
  if (png.empty()) return TIcon();
  HandleTable& table = Table();
  // Declared before the lock: should the table fail to take the image, the
  // image is freed after the lock is released, since freeing it locks too.
  std::shared_ptr<const Image> image;
  const std::lock_guard lock(table.mutex);
  // 0 means "no image"; after a wrap-around, skip it and any handle in use.
  do {
    ++table.lastHandle;
  } while (table.lastHandle == 0 || table.images.contains(table.lastHandle));
  image = std::make_shared<const Image>(table.lastHandle, std::move(png));
  table.images.emplace(image->handle, image);
  return TIcon(std::move(image));
}

TIcon TIcon::FromHandle(std::uint32_t handle) {
  if (handle == 0) return TIcon();
  HandleTable& table = Table();
  const std::lock_guard lock(table.mutex);
  const auto found = table.images.find(handle);
  if (found == table.images.end()) return TIcon();
  // Expired when the last holder is being destroyed right now.
  return TIcon(std::static_pointer_cast<const Image>(found->second.lock()));
}

std::uint32_t TIcon::Handle() const { return image_ ? image_->handle : 0; }

const std::string& TIcon::Png() const {
  static const std::string kNone;
  return image_ ? image_->png : kNone;
}

}  // namespace parlivo
