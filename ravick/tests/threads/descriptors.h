// Real serialized FileDescriptorProtos, generated at build time from the
// pinned protobuf package.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace ravick::test_descriptors {

struct Descriptor {
  const char* name;  // the file's `name` field
  const uint8_t* data;
  size_t size;

  std::span<const uint8_t> bytes() const { return {data, size}; }
};

extern const Descriptor ALL[];
extern const size_t COUNT;

}  // namespace ravick::test_descriptors
