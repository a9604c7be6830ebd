#include "app/ResourceImage.h"

#include <cstring>
#include <stdexcept>

#include "payload/EmbeddedResource.h"

namespace orvo {

ResourceImage::ResourceImage(ComPtr<IStream> stream, std::unique_ptr<Gdiplus::Image> image) noexcept
    : stream_(std::move(stream)), image_(std::move(image)) {}

ResourceImage::ResourceImage(ResourceImage&& other) noexcept
    : stream_(std::move(other.stream_)), image_(std::move(other.image_)) {}

ResourceImage& ResourceImage::operator=(ResourceImage&& other) noexcept {
  if (this != &other) {
    reset();
    stream_ = std::move(other.stream_);
    image_ = std::move(other.image_);
  }
  return *this;
}

void ResourceImage::reset() noexcept {
  image_.reset();
  stream_.reset();
}

ResourceImage loadImageFromBytes(const std::vector<unsigned char>& bytes) {
  UniqueGlobalMemory memory(::GlobalAlloc(GMEM_MOVEABLE, bytes.size()));
  if (!memory) throw std::runtime_error("Memory allocation failed");
  if (!bytes.empty()) {
    void* target = ::GlobalLock(memory.get());
    if (target == nullptr) throw std::runtime_error("Memory allocation failed");
    std::memcpy(target, bytes.data(), bytes.size());
    ::GlobalUnlock(memory.get());
  }

  ComPtr<IStream> stream;
  // The stream frees the memory when it is released, so it takes the memory over only on success.
  if (FAILED(::CreateStreamOnHGlobal(memory.get(), TRUE, stream.put())) || !stream) {
    throw std::runtime_error("Image stream failed");
  }
  memory.release();

  std::unique_ptr<Gdiplus::Image> image(Gdiplus::Image::FromStream(stream.get()));
  if (!image || image->GetLastStatus() != Gdiplus::Ok) throw std::runtime_error("Image invalid");
  return ResourceImage(std::move(stream), std::move(image));
}

ResourceImage loadResourceImage(int resourceId) { return loadImageFromBytes(readEmbeddedResource(resourceId)); }

}  // namespace orvo
