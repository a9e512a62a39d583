// The names that a run's descriptors define, looked up as the Python
// printer's symbol index looks them up from one file: descriptor.proto as
// the runtime knows it first, then the run's files, a definition from a
// file that the printed file imports preferred.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "descriptor_view.h"

namespace ravick::printer {

// One definition of a name and the index of the file holding it.
template <class T>
struct Defined {
  size_t file = 0;
  const T* item = nullptr;
};

struct ExtensionDef {
  std::string full_name;
  const FieldView* field = nullptr;
};

class SymbolIndex {
 public:
  // The index of the serialized files, in order; nothing when one is
  // malformed.
  static std::unique_ptr<SymbolIndex> build(
      const std::vector<std::string>& files);
  // The index of `base` with the serialized `file` in place of the files of
  // its name, its definitions first; nothing when it is malformed. It reads
  // `base`, which must outlive it, instead of indexing its files again.
  static std::unique_ptr<SymbolIndex> replacing(const SymbolIndex& base,
                                                const std::string& file);

  std::string_view file_name(size_t file) const {
    return this->file(file).name;
  }
  const FileView& file(size_t file) const;
  // The first file of a name.
  const FileView* file_named(std::string_view name) const;
  // The imports of the first file of a name, or nothing for a name not here.
  const std::vector<std::string_view>* imports_of(std::string_view name) const;

  const std::vector<Defined<MessageView>>* messages(
      std::string_view name) const;
  const std::vector<Defined<EnumView>>* enums(std::string_view name) const;
  const std::vector<Defined<ExtensionDef>>* extensions(
      std::string_view extendee, int32_t number) const;
  // A package (or enclosing package), message, enum or (unless
  // `aggregates_only`) extension of that full name.
  bool defines(const std::string& name, bool aggregates_only) const;

 private:
  using Names = std::vector<std::string_view>;
  template <class T>
  using Table = std::unordered_map<std::string, std::vector<Defined<T>>>;

  void add_file(size_t file);
  void add_scope(size_t file, const std::string& scope,
                 const std::vector<MessageView>& messages,
                 const std::vector<EnumView>& enums,
                 const std::vector<FieldView>& extensions);
  // defines() counting no definition from a file named in `excluded`.
  bool defines_excluding(const std::string& name, bool aggregates_only,
                         Names& excluded) const;
  bool from_others(const std::vector<size_t>* files,
                   const Names& excluded) const;
  // A replacing index's definitions of `key`: its file's, then the base's
  // from files of other names (made on first use).
  template <class T, class Lookup>
  const std::vector<Defined<T>>* merged(Table<T>& cache, const std::string& key,
                                        Lookup lookup) const;

  std::vector<std::unique_ptr<std::string>> bytes_;
  std::vector<FileView> views_;
  std::unordered_map<std::string, size_t> first_of_name_;
  Table<MessageView> messages_;
  Table<EnumView> enums_;
  Table<ExtensionDef> extensions_;
  // Each package and extension name with the files that define it.
  std::unordered_map<std::string, std::vector<size_t>> packages_;
  std::unordered_map<std::string, std::vector<size_t>> extension_names_;
  std::vector<std::unique_ptr<ExtensionDef>> extension_defs_;

  // A replacing index: its own file (file 0) over `base_` (files 1 on).
  const SymbolIndex* base_ = nullptr;
  std::unique_ptr<SymbolIndex> own_;
  // Look-ups are made with the interpreter lock held: one at a time.
  mutable Table<MessageView> merged_messages_;
  mutable Table<EnumView> merged_enums_;
  mutable Table<ExtensionDef> merged_extensions_;
};

// Look-ups for printing one file: what the Python printer's Symbols answer.
class Symbols {
 public:
  // `files` may be null: then only descriptor.proto answers, and a look-up
  // that would need the files fails (`needs_files()` says so).
  Symbols(const SymbolIndex& builtin, const SymbolIndex* files,
          const FileView& printed);

  bool needs_files() const { return needs_files_; }

  const MessageView* message(std::string_view name);
  // The file defining the message that message() finds.
  const FileView* message_file(std::string_view name);
  const FieldView* field(std::string_view message, int32_t number);
  // The extension and the name of its file.
  const ExtensionDef* extension(std::string_view extendee, int32_t number,
                                std::string_view* file_name);
  const EnumView* enumeration(std::string_view name);
  // The first file of a name, descriptor.proto's first.
  const FileView* file_named(std::string_view name);
  bool visible(std::string_view file_name) const;
  // Whether every file that the printed file imports is in the index.
  bool complete();
  // Whether protoc finds extension `name`, written [name] in an aggregate
  // of message `scope`.
  bool found_from(std::string_view name, std::string_view scope);

 private:
  template <class T>
  const Defined<T>* pick(const std::vector<Defined<T>>* defined,
                         const SymbolIndex& index) const;

  const SymbolIndex& builtin_;
  const SymbolIndex* files_;
  std::unordered_set<std::string> visible_;
  bool complete_ = true;
  bool needs_files_ = false;
  // Fields by number of each message looked up so far (the first of a number).
  std::unordered_map<std::string, std::unordered_map<int32_t, const FieldView*>>
      fields_;
};

}  // namespace ravick::printer
