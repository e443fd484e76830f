#include "imaging/mapped_pixels.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

MappedPixels::MappedPixels(int fd, off_t offset, size_t size) : size_(size) {
  static const auto page = static_cast<off_t>(sysconf(_SC_PAGESIZE));
  off_t start = offset / page * page;
  lead_ = static_cast<size_t>(offset - start);
  length_ = lead_ + size;
  void* mapping = mmap(nullptr, length_, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, start);
  if (mapping == MAP_FAILED)
    throw std::runtime_error(std::string("cannot map frame file: ") + std::strerror(errno));
  base_ = mapping;
}

MappedPixels::~MappedPixels() { Release(); }

MappedPixels::MappedPixels(const MappedPixels& other) { *this = other; }

MappedPixels& MappedPixels::operator=(const MappedPixels& other) {
  if (this == &other) return *this;
  Release();
  if (other.base_ == nullptr) return *this;
  void* mapping = mmap(nullptr, other.size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) throw std::bad_alloc();
  std::memcpy(mapping, other.data(), other.size_);
  base_ = mapping;
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

void MappedPixels::Release() {
  if (base_ != nullptr) munmap(base_, length_);
  base_ = nullptr;
  length_ = lead_ = size_ = 0;
}
