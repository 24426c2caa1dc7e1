#pragma once
// Which file a handle or a name stands for, whatever its spelling: the volume and the file's index
// on it; and its size when it was read. Portable: the log's native backend fills it too.

#include <cstdint>

namespace corvid {

struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  std::uint64_t size = 0;

  bool same_file(const FileIdentity& other) const {
    return volume == other.volume && index == other.index;
  }
};

}  // namespace corvid
