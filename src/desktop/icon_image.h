#pragma once
// TIcon: an icon image as a small value, and the handles that name it.
//
// The desktop components link QtCore only, so an icon is kept as its
// encoded image (PNG bytes) and decoded by whichever backend draws it. Each
// image gets a handle number when it is made; copies of a TIcon share the
// image and its handle, so copying an icon into the current image and back
// keeps the handle the shell already knows. An empty icon has handle 0.
//
// Like the window system's icon handles, these are process-wide: the
// notification record carries only the number, and the shell backend turns
// it back into the image with FromHandle. A handle resolves while at least
// one TIcon holds its image; handles are never reused, so a stale one
// resolves to an empty icon, never to a different image.

#include <cstdint>
#include <memory>
#include <string>

namespace parlivo {

class TIcon {
 public:
  // An empty icon.
  TIcon() = default;

  // A new image with a new handle; empty bytes give an empty icon. The
  // bytes are not checked here: the backend that draws the icon decodes them.
  static TIcon FromPng(std::string png);
  // The icon whose image has this handle, or an empty icon when no live
  // icon has it.
  static TIcon FromHandle(std::uint32_t handle);

  bool Empty() const { return image_ == nullptr; }
  std::uint32_t Handle() const;
  // The encoded image; empty for an empty icon.
  const std::string& Png() const;

  // Two icons are equal when they share one image.
  friend bool operator==(const TIcon& a, const TIcon& b) { return a.image_ == b.image_; }

 private:
  struct Image;
  explicit TIcon(std::shared_ptr<const Image> image) : image_(std::move(image)) {}

  std::shared_ptr<const Image> image_;
};

}  // namespace parlivo
