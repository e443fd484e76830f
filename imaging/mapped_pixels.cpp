#include "imaging/mapped_pixels.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

#include "base/platform.h"

MappedPixels::MappedPixels(int fd, uint64_t offset, size_t size) : size_(size) {
  MappedView view = MapFile(fd, offset, size, true, lead_);
  if (view.base == nullptr)
    throw std::runtime_error(std::string("cannot map frame file: ") + std::strerror(errno));
  base_ = view.base;
  length_ = view.length;
}

MappedPixels::~MappedPixels() { Release(); }

MappedPixels::MappedPixels(const MappedPixels& other) { *this = other; }

MappedPixels& MappedPixels::operator=(const MappedPixels& other) {
  if (this == &other) return *this;
  Release();
  if (other.base_ == nullptr) return *this;
  MappedView view = MapMemory(other.size_);
  if (view.base == nullptr) throw std::bad_alloc();
  std::memcpy(view.base, other.data(), other.size_);
  base_ = view.base;
  length_ = size_ = other.size_;
  lead_ = 0;
  return *this;
}

MappedPixels::MappedPixels(MappedPixels&& other) noexcept { *this = std::move(other); }

MappedPixels& MappedPixels::operator=(MappedPixels&& other) noexcept {
  if (this == &other) return *this;
  Release();
  base_ = std::exchange(other.base_, nullptr);
  length_ = std::exchange(other.length_, 0);
  lead_ = std::exchange(other.lead_, 0);
  size_ = std::exchange(other.size_, 0);
  return *this;
}

void MappedPixels::Forget(size_t offset, size_t size) {
  if (base_ != nullptr && offset < size_) ForgetPages(data() + offset, std::min(size, size_ - offset));
}

void MappedPixels::Release() {
  UnmapView({base_, length_});
  base_ = nullptr;
  length_ = lead_ = size_ = 0;
}
