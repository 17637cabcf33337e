#pragma once
// TImageList: an ordered list of icon images, the frames of the tray icon's
// animation. The tray icon only refers to a list (it does not own it) and
// asks it for its image count and for a copy of image n.

#include <utility>
#include <vector>

#include "desktop/icon_image.h"

namespace parlivo {

class TImageList {
 public:
  void Add(TIcon image) { images_.push_back(std::move(image)); }
  int Count() const { return static_cast<int>(images_.size()); }
  // Copies image `index` into `target`; an index outside the list gives an
  // empty icon, as the platform's list does.
  void GetIcon(int index, TIcon& target) const {
    target = index >= 0 && index < Count() ? images_[static_cast<std::size_t>(index)] : TIcon();
  }

 private:
  std::vector<TIcon> images_;
};

}  // namespace parlivo
