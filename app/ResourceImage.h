#pragma once
// Pictures that travel as raw-data resources of the executable, loaded into
// GDI+ images backed by a memory stream.
//
// Guarantees: the image and the stream it reads from lazily live and die
// together, the image always released before its stream; a failed load
// leaks nothing (memory, stream) and throws one of "Embedded resource
// missing", "Memory allocation failed", "Image stream failed", "Image invalid".
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <memory>
#include <vector>

#include "common/UniqueHandle.h"

namespace orvo {

class ResourceImage {
 public:
  ResourceImage() = default;
  ResourceImage(ComPtr<IStream> stream, std::unique_ptr<Gdiplus::Image> image) noexcept;
  ResourceImage(ResourceImage&& other) noexcept;
  ResourceImage& operator=(ResourceImage&& other) noexcept;
  ResourceImage(const ResourceImage&) = delete;
  ResourceImage& operator=(const ResourceImage&) = delete;
  ~ResourceImage() { reset(); }

  Gdiplus::Image* image() const noexcept { return image_.get(); }
  explicit operator bool() const noexcept { return image_ != nullptr; }
  // Releases the image, then its stream.
  void reset() noexcept;

 private:
  ComPtr<IStream> stream_;
  std::unique_ptr<Gdiplus::Image> image_;
};

// An image decoded from the bytes of a picture file (GDI+ must be running).
ResourceImage loadImageFromBytes(const std::vector<unsigned char>& bytes);

// The picture stored as raw-data resource `resourceId` of this executable.
ResourceImage loadResourceImage(int resourceId);

}  // namespace orvo
