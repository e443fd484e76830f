#pragma once

#include <cstddef>
#include <cstdint>

// Pixel rows mapped copy-on-write from a file: loading a frame costs no copy and no fresh memory,
// and drawing into it changes only the process's pages, never the file. A copy of the object is a
// copy of the bytes, so that copies can be drawn into independently.
class MappedPixels {
 public:
  MappedPixels() = default;
  // Maps size bytes at offset of fd (size > 0). Throws std::runtime_error when mmap fails.
  MappedPixels(int fd, uint64_t offset, size_t size);
  ~MappedPixels();
  MappedPixels(const MappedPixels& other);
  MappedPixels& operator=(const MappedPixels& other);
  MappedPixels(MappedPixels&& other) noexcept;
  MappedPixels& operator=(MappedPixels&& other) noexcept;

  uint8_t* data() const { return base_ == nullptr ? nullptr : static_cast<uint8_t*>(base_) + lead_; }
  size_t size() const { return size_; }
  // The pages wholly within [offset, offset + size) of the pixels go back to the system; the bytes
  // there read as the file holds them (or as zeros in a copy), whatever was drawn into them.
  void Forget(size_t offset, size_t size);

 private:
  void Release();

  void* base_ = nullptr;  // page-aligned start of the mapping
  size_t length_ = 0;     // of the mapping
  size_t lead_ = 0;       // bytes before the pixels
  size_t size_ = 0;
};
