#include "symbol_index.h"

#include <algorithm>

#include "source_forms.h"

namespace ravick::printer {
namespace {

std::string_view without_dot(std::string_view name) {
  if (!name.empty() && name.front() == '.') name.remove_prefix(1);
  return name;
}

std::string extension_key(std::string_view extendee, int32_t number) {
  std::string key(without_dot(extendee));
  key += '\0';
  key += std::to_string(number);
  return key;
}

template <class Map>
auto* find_in(const Map& map, std::string_view key) {
  const auto found = map.find(std::string(key));
  return found == map.end() ? nullptr : &found->second;
}

}  // namespace

std::unique_ptr<SymbolIndex> SymbolIndex::build(
    const std::vector<std::string>& files) {
  auto index = std::make_unique<SymbolIndex>();
  for (const std::string& data : files) {
    index->bytes_.push_back(std::make_unique<std::string>(data));
    std::optional<FileView> view = read_file(*index->bytes_.back());
    if (!view) return nullptr;
    index->views_.push_back(std::move(*view));
  }
  for (size_t k = 0; k < index->views_.size(); ++k) index->add_file(k);
  return index;
}

void SymbolIndex::add_file(size_t file) {
  const FileView& f = views_[file];
  first_of_name_.emplace(std::string(f.name), file);
  const std::string package(f.package);
  for (size_t dot = 0;; ++dot) {
    dot = package.find('.', dot);
    packages_[package.substr(0, dot)].push_back(file);
    if (dot == std::string::npos) break;
  }
  add_scope(file, package, f.messages, f.enums, f.extensions);
}

void SymbolIndex::add_scope(size_t file, const std::string& scope,
                            const std::vector<MessageView>& messages,
                            const std::vector<EnumView>& enums,
                            const std::vector<FieldView>& extensions) {
  for (const EnumView& e : enums)
    enums_[join_name(scope, e.name)].push_back({file, &e});
  for (const FieldView& ext : extensions) {
    extension_defs_.push_back(std::make_unique<ExtensionDef>(
        ExtensionDef{join_name(scope, ext.name), &ext}));
    const ExtensionDef* def = extension_defs_.back().get();
    extensions_[extension_key(ext.extendee, ext.number)].push_back({file, def});
    extension_names_[def->full_name].push_back(file);
  }
  for (const MessageView& m : messages) {
    const std::string name = join_name(scope, m.name);
    messages_[name].push_back({file, &m});
    add_scope(file, name, m.nested, m.enums, m.extensions);
  }
}

std::unique_ptr<SymbolIndex> SymbolIndex::replacing(const SymbolIndex& base,
                                                    const std::string& file) {
  auto own = build({file});
  if (own == nullptr) return nullptr;
  auto index = std::make_unique<SymbolIndex>();
  index->base_ = &base;
  index->own_ = std::move(own);
  return index;
}

const FileView& SymbolIndex::file(size_t file) const {
  if (base_ == nullptr) return views_[file];
  return file == 0 ? own_->file(0) : base_->file(file - 1);
}

const FileView* SymbolIndex::file_named(std::string_view name) const {
  if (base_ != nullptr) {
    return name == own_->file_name(0) ? &own_->file(0)
                                      : base_->file_named(name);
  }
  const size_t* k = find_in(first_of_name_, name);
  return k == nullptr ? nullptr : &views_[*k];
}

const std::vector<std::string_view>* SymbolIndex::imports_of(
    std::string_view name) const {
  const FileView* f = file_named(name);
  return f == nullptr ? nullptr : &f->dependencies;
}

template <class T, class Lookup>
const std::vector<Defined<T>>* SymbolIndex::merged(Table<T>& cache,
                                                   const std::string& key,
                                                   Lookup lookup) const {
  auto found = cache.find(key);
  if (found == cache.end()) {
    std::vector<Defined<T>> all;
    if (const auto* own = lookup(*own_)) all = *own;
    const std::string_view replaced = own_->file_name(0);
    if (const auto* theirs = lookup(*base_)) {
      for (const Defined<T>& d : *theirs) {
        if (base_->file_name(d.file) != replaced) {
          all.push_back({d.file + 1, d.item});
        }
      }
    }
    found = cache.emplace(key, std::move(all)).first;
  }
  return found->second.empty() ? nullptr : &found->second;
}

const std::vector<Defined<MessageView>>* SymbolIndex::messages(
    std::string_view name) const {
  if (base_ == nullptr) return find_in(messages_, name);
  return merged(merged_messages_, std::string(name),
                [name](const SymbolIndex& i) { return i.messages(name); });
}

const std::vector<Defined<EnumView>>* SymbolIndex::enums(
    std::string_view name) const {
  if (base_ == nullptr) return find_in(enums_, name);
  return merged(merged_enums_, std::string(name),
                [name](const SymbolIndex& i) { return i.enums(name); });
}

const std::vector<Defined<ExtensionDef>>* SymbolIndex::extensions(
    std::string_view extendee, int32_t number) const {
  const std::string key = extension_key(extendee, number);
  if (base_ == nullptr) return find_in(extensions_, key);
  return merged(merged_extensions_, key,
                [extendee, number](const SymbolIndex& i) {
                  return i.extensions(extendee, number);
                });
}

bool SymbolIndex::defines(const std::string& name, bool aggregates_only) const {
  Names excluded;
  return defines_excluding(name, aggregates_only, excluded);
}

bool SymbolIndex::from_others(const std::vector<size_t>* files,
                              const Names& excluded) const {
  if (files == nullptr) return false;
  for (size_t f : *files) {
    if (std::find(excluded.begin(), excluded.end(), file_name(f)) ==
        excluded.end()) {
      return true;
    }
  }
  return false;
}

bool SymbolIndex::defines_excluding(const std::string& name,
                                    bool aggregates_only,
                                    Names& excluded) const {
  if (base_ != nullptr) {
    const std::string_view own = own_->file_name(0);
    if (std::find(excluded.begin(), excluded.end(), own) == excluded.end() &&
        own_->defines(name, aggregates_only)) {
      return true;
    }
    excluded.push_back(own);
    const bool found =
        base_->defines_excluding(name, aggregates_only, excluded);
    excluded.pop_back();
    return found;
  }
  const auto files_of = [&](const auto& table) {
    std::vector<size_t> files;
    if (const auto* defined = find_in(table, name)) {
      for (const auto& d : *defined) files.push_back(d.file);
    }
    return files;
  };
  const auto messages = files_of(messages_);
  const auto enums = files_of(enums_);
  if (from_others(find_in(packages_, name), excluded) ||
      from_others(&messages, excluded) || from_others(&enums, excluded)) {
    return true;
  }
  return !aggregates_only &&
         from_others(find_in(extension_names_, name), excluded);
}

Symbols::Symbols(const SymbolIndex& builtin, const SymbolIndex* files,
                 const FileView& printed)
    : builtin_(builtin), files_(files) {
  visible_.emplace(printed.name);
  std::vector<std::string_view> pending = printed.dependencies;
  pending.insert(pending.end(), printed.option_dependencies.begin(),
                 printed.option_dependencies.end());
  while (!pending.empty()) {
    const std::string name(pending.back());
    pending.pop_back();
    if (!visible_.insert(name).second) continue;
    const auto* imports =
        files_ == nullptr ? nullptr : files_->imports_of(name);
    complete_ = complete_ && imports != nullptr;
    if (imports != nullptr)
      pending.insert(pending.end(), imports->begin(), imports->end());
  }
}

template <class T>
const Defined<T>* Symbols::pick(const std::vector<Defined<T>>* defined,
                                const SymbolIndex& index) const {
  if (defined == nullptr || defined->empty()) return nullptr;
  for (const Defined<T>& d : *defined) {
    if (visible(index.file_name(d.file))) return &d;
  }
  return &defined->front();
}

bool Symbols::visible(std::string_view file_name) const {
  return visible_.count(std::string(file_name)) > 0;
}

const MessageView* Symbols::message(std::string_view name) {
  if (const auto* d = pick(builtin_.messages(name), builtin_)) return d->item;
  if (files_ == nullptr) {
    needs_files_ = true;
    return nullptr;
  }
  const auto* d = pick(files_->messages(name), *files_);
  return d == nullptr ? nullptr : d->item;
}

const FileView* Symbols::message_file(std::string_view name) {
  if (const auto* d = pick(builtin_.messages(name), builtin_)) {
    return &builtin_.file(d->file);
  }
  if (files_ == nullptr) {
    needs_files_ = true;
    return nullptr;
  }
  const auto* d = pick(files_->messages(name), *files_);
  return d == nullptr ? nullptr
                      : files_->file_named(files_->file_name(d->file));
}

const FieldView* Symbols::field(std::string_view message_name, int32_t number) {
  const std::string key(message_name);
  auto cached = fields_.find(key);
  if (cached == fields_.end()) {
    // descriptor.proto's messages have only their own fields.
    const auto* builtin = builtin_.messages(message_name);
    const MessageView* m = builtin != nullptr && !builtin->empty()
                               ? builtin->front().item
                               : message(message_name);
    std::unordered_map<int32_t, const FieldView*> by_number;
    if (m != nullptr) {
      for (const FieldView& f : m->fields) by_number.emplace(f.number, &f);
    }
    cached = fields_.emplace(key, std::move(by_number)).first;
  }
  const auto found = cached->second.find(number);
  return found == cached->second.end() ? nullptr : found->second;
}

const ExtensionDef* Symbols::extension(std::string_view extendee,
                                       int32_t number,
                                       std::string_view* file_name) {
  if (const auto* d = pick(builtin_.extensions(extendee, number), builtin_)) {
    *file_name = builtin_.file_name(d->file);
    return d->item;
  }
  if (files_ == nullptr) {
    needs_files_ = true;
    return nullptr;
  }
  const auto* d = pick(files_->extensions(extendee, number), *files_);
  if (d == nullptr) return nullptr;
  *file_name = files_->file_name(d->file);
  return d->item;
}

const FileView* Symbols::file_named(std::string_view name) {
  if (const FileView* f = builtin_.file_named(name)) return f;
  if (files_ == nullptr) {
    needs_files_ = true;
    return nullptr;
  }
  return files_->file_named(name);
}

bool Symbols::complete() {
  if (files_ == nullptr) needs_files_ = true;
  return complete_;
}

const EnumView* Symbols::enumeration(std::string_view name) {
  if (const auto* d = pick(builtin_.enums(name), builtin_)) return d->item;
  if (files_ == nullptr) {
    needs_files_ = true;
    return nullptr;
  }
  const auto* d = pick(files_->enums(name), *files_);
  return d == nullptr ? nullptr : d->item;
}

bool Symbols::found_from(std::string_view name, std::string_view scope) {
  const std::string first(name.substr(0, name.find('.')));
  const bool aggregates_only = first != name;
  std::vector<std::string_view> enclosing;
  for (size_t start = 0;;) {
    const size_t dot = scope.find('.', start);
    enclosing.push_back(scope.substr(start, dot - start));
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  enclosing.pop_back();
  while (!enclosing.empty()) {
    std::string candidate;
    for (std::string_view part : enclosing) {
      candidate += part;
      candidate += '.';
    }
    candidate += first;
    if (builtin_.defines(candidate, aggregates_only)) return false;
    if (files_ == nullptr) {
      needs_files_ = true;
      return false;
    }
    if (files_->defines(candidate, aggregates_only)) return false;
    enclosing.pop_back();
  }
  return true;
}

}  // namespace ravick::printer
