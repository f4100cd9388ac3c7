#include "firmware/firmware_image.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <vector>

uint8_t firmwareImage[FIRMWARE_CAPACITY];
uint32_t firmwareLength = 0;
ImageState firmwareLoaded = ImageState::Empty;

LoadResult loadFirmwareFile(const char* path, Output& out, unsigned long long* fileSize) {
  FILE* file = std::fopen(path, "rb");
  if (!file) {
    firmwareLoaded = ImageState::Empty;
    return LoadResult::CannotOpen;
  }
  // A directory opens but cannot be read; a read error midway would leave
  // a truncated image that looks whole. Both count as a failed open, and the
  // bytes go through a scratch buffer so the old image survives either.
  // One byte more than fits tells a long stream from a whole image.
  struct stat info;
  std::vector<uint8_t> scratch(FIRMWARE_CAPACITY + 1);
  size_t count = 0;
  bool readable = fstat(fileno(file), &info) == 0 && !S_ISDIR(info.st_mode);
  if (readable) {
    count = std::fread(scratch.data(), 1, scratch.size(), file);
    readable = !std::ferror(file);
  }
  std::fclose(file);
  if (!readable) {
    firmwareLoaded = ImageState::Empty;
    return LoadResult::CannotOpen;
  }
  const unsigned long long size = info.st_size > (off_t)count ? (unsigned long long)info.st_size : count;
  if (fileSize) *fileSize = size;
  if (!fitsDongle(size)) {
    firmwareLoaded = ImageState::Empty;
    return LoadResult::TooLarge;
  }
  std::memcpy(firmwareImage, scratch.data(), count);
  firmwareLength = (uint32_t)count;
  firmwareLoaded = ImageState::Loaded;
  out.outputFormat(STYLE_PROGRESS, "Read %d bytes from file %s\n", (int)count, path);
  return LoadResult::Loaded;
}

void unloadFirmware() {
  firmwareLength = 0;
  firmwareLoaded = ImageState::Empty;
}
