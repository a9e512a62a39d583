#include <cstring>
#include <new>
#include <stdexcept>

#include "graph_writer.h"

namespace vornatrel::score::graph_writer {
namespace {

void align4(std::vector<uint8_t>& out) {
  while (out.size() % 4 != 0) out.push_back(0);
}

void append_u8(std::vector<uint8_t>& out, uint8_t v) { out.push_back(v); }

void append_u16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(0);
  out.push_back(0);
  put_u16(out, out.size() - 2, v);
}

void append_u32(std::vector<uint8_t>& out, uint32_t v) {
  out.insert(out.end(), 4, 0);
  put_u32(out, out.size() - 4, v);
}

// A self-relative pointer at `field_pos` designating `target`.
void put_rel(std::vector<uint8_t>& out, uint64_t field_pos, uint64_t target) {
  const int64_t rel =
      static_cast<int64_t>(target) - static_cast<int64_t>(field_pos);
  put_u32(out, field_pos, static_cast<uint32_t>(static_cast<int32_t>(rel)));
}

bool fits_inline(const std::string& s) {
  if (s.size() > 8) return false;
  if (!s.empty() && (static_cast<uint8_t>(s[0]) & 0xC0) == 0x80) return false;
  return s.find('\xFF') == std::string::npos;
}

bool stored_inline(const TypeNamePlan& t) {
  switch (t.form) {
    case StringForm::Inline:
      if (t.name.size() > 8) throw std::invalid_argument("inline text > 8");
      return true;
    case StringForm::OutOfLine:
      return false;
    case StringForm::Auto:
      break;
  }
  return fits_inline(t.name);
}

// Writes the 8-byte vector field of the root at `field_pos`.
void put_vector(std::vector<uint8_t>& out, uint64_t field_pos, uint64_t start,
                size_t count) {
  put_rel(out, field_pos, start);
  put_u32(out, field_pos + 4, static_cast<uint32_t>(count));
}

}  // namespace

void put_u16(std::vector<uint8_t>& bytes, uint64_t pos, uint16_t v) {
  for (int i = 0; i < 2; ++i) bytes.at(pos + i) = uint8_t(v >> (8 * i));
}

void put_u32(std::vector<uint8_t>& bytes, uint64_t pos, uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes.at(pos + i) = uint8_t(v >> (8 * i));
}

void put_u64(std::vector<uint8_t>& bytes, uint64_t pos, uint64_t v) {
  for (int i = 0; i < 8; ++i) bytes.at(pos + i) = uint8_t(v >> (8 * i));
}

std::vector<uint8_t> write_archive(const GraphPlan& plan,
                                   ArchiveLayout* layout) {
  std::vector<uint8_t> out;
  ArchiveLayout at;

  at.nodes = out.size();
  uint32_t next_field = 0;
  for (const NodePlan& n : plan.nodes) {
    const auto count = static_cast<uint32_t>(n.fields.size());
    append_u32(out, n.key);
    append_u8(out, n.kind);
    append_u8(out, n.utf8);
    append_u16(out, n.enum_index);
    append_u16(out, n.ext_list);
    append_u16(out, 0);
    append_u32(out, n.first_field.value_or(next_field));
    append_u32(out, n.field_count.value_or(count));
    next_field += count;
  }

  align4(out);
  at.fields = out.size();
  for (const NodePlan& n : plan.nodes) {
    for (const FieldPlan& f : n.fields) {
      append_u32(out, n.key);
      append_u32(out, f.number);
      append_u8(out, f.cardinality);
      append_u8(out, f.wire_type);
      append_u8(out, f.packed);
      append_u8(out, 0);
      append_u32(out, f.target);
    }
  }

  align4(out);
  at.texts = out.size();
  std::vector<uint64_t> text_pos;
  for (const TypeNamePlan& t : plan.type_names) {
    text_pos.push_back(out.size());
    if (!stored_inline(t)) out.insert(out.end(), t.name.begin(), t.name.end());
  }

  align4(out);
  at.type_names = out.size();
  for (size_t i = 0; i < plan.type_names.size(); ++i) {
    const TypeNamePlan& t = plan.type_names[i];
    const uint64_t pos = out.size();
    if (stored_inline(t)) {
      out.insert(out.end(), 8, 0xFF);
      std::memcpy(out.data() + pos, t.name.data(), t.name.size());
    } else {
      const uint64_t len = t.name.size();
      if (len >= (uint64_t{1} << 30)) throw std::invalid_argument("text");
      out.insert(out.end(), 8, 0);
      put_u32(out, pos, uint32_t(0x80 | (len & 0x3F) | ((len >> 6) << 8)));
      // The text pointer counts from the string's first byte, not byte 4.
      put_u32(
          out, pos + 4,
          static_cast<uint32_t>(static_cast<int32_t>(
              static_cast<int64_t>(text_pos[i]) - static_cast<int64_t>(pos))));
    }
    append_u32(out, t.key);
  }

  align4(out);
  at.enum_ranges = out.size();
  for (const EnumRangePlan& r : plan.enum_ranges) {
    append_u32(out, static_cast<uint32_t>(r.min));
    append_u32(out, static_cast<uint32_t>(r.max));
  }
  at.ext_ranges = out.size();
  for (const ExtRangePlan& r : plan.ext_ranges) {
    append_u32(out, r.start);
    append_u32(out, r.end);
  }
  at.ext_range_lists = out.size();
  for (const ExtRangeListPlan& l : plan.ext_range_lists) {
    append_u32(out, l.first);
    append_u32(out, l.count);
  }

  at.root = out.size();
  out.insert(out.end(), load::ROOT_SIZE, 0);
  put_vector(out, at.root + 0, at.nodes, plan.nodes.size());
  put_vector(out, at.root + 8, at.fields, next_field);
  put_vector(out, at.root + 16, at.type_names, plan.type_names.size());
  put_vector(out, at.root + 24, at.enum_ranges, plan.enum_ranges.size());
  put_u32(out, at.root + 32,
          plan.key_count.value_or(static_cast<uint32_t>(plan.nodes.size())));
  put_vector(out, at.root + 36, at.ext_ranges, plan.ext_ranges.size());
  put_vector(out, at.root + 44, at.ext_range_lists,
             plan.ext_range_lists.size());
  out[at.root + 52] = plan.has_ext_ranges ? 1 : 0;

  if (layout) *layout = at;
  return out;
}

std::vector<uint8_t> write_header(uint32_t version, uint64_t root_offset,
                                  uint32_t reserved) {
  std::vector<uint8_t> out = {'V', 'N', 'S', 'G', 'R', 'A', 'P', 'H'};
  out.resize(load::HEADER_SIZE);
  put_u32(out, 8, version);
  put_u32(out, 12, reserved);
  put_u64(out, 16, root_offset);
  return out;
}

std::vector<uint8_t> write_graph_file(const GraphPlan& plan) {
  std::vector<uint8_t> file = write_header();
  const std::vector<uint8_t> archive = write_archive(plan);
  file.insert(file.end(), archive.begin(), archive.end());
  return file;
}

void TestGraph::AlignedDelete::operator()(uint8_t* p) const {
  ::operator delete (p, std::align_val_t{16});
}

namespace {
uint8_t* aligned_copy(Bytes archive) {
  auto* p = static_cast<uint8_t*>(
      ::operator new (archive.size(), std::align_val_t{16}));
  if (!archive.empty()) std::memcpy(p, archive.data(), archive.size());
  return p;
}
}  // namespace

TestGraph::TestGraph(Bytes archive)
    : buffer_(aligned_copy(archive)),
      root_(Bytes(buffer_.get(), archive.size())) {}

TestGraph make_graph(const GraphPlan& plan) {
  const std::vector<uint8_t> archive = write_archive(plan);
  return TestGraph(archive);
}

}  // namespace vornatrel::score::graph_writer
