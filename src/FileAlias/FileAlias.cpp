#include "FileAlias/FileAlias.h"

#include <plist/plist.h>

#include <cstdio>
#include <cstdlib>

#include "platform/owners.h"
#include "platform/plist_memory.h"
#include "platform/whole_file.h"

namespace {

void report(std::optional<NSError>* error, std::int64_t status) {
  if (error) *error = NSError::errorWithDomain(NSOSStatusErrorDomain, status);
}

}  // namespace

// ---- PlistCoder -------------------------------------------------------------

std::optional<PlistCoder> PlistCoder::withArchive(const NSData& archive) noexcept {
  try {
    if (archive.empty() || archive.size() > UINT32_MAX) return std::nullopt;
    plist_t root = plist_parse_memory(reinterpret_cast<const char*>(archive.data()),
                                      static_cast<std::uint32_t>(archive.size()));
    PlistPtr owner(root);
    if (!root) return std::nullopt;
    PlistCoder coder;
    if (plist_get_node_type(root) == PLIST_BOOLEAN) {
      std::uint8_t value = 1;
      plist_get_bool_val(root, &value);
      if (value) return std::nullopt;
      return coder;  // nil
    }
    if (plist_get_node_type(root) != PLIST_DATA) return std::nullopt;
    std::uint64_t size = 0;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(plist_get_data_ptr(root, &size));
    coder.data_.emplace();
    if (bytes && size > 0) coder.data_->assign(bytes, bytes + size);
    return coder;
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<PlistCoder> PlistCoder::withContentsOfFile(const std::string& path) noexcept {
  const std::optional<NSData> archive = read_whole_file(path);
  if (!archive) return std::nullopt;
  return withArchive(*archive);
}

void PlistCoder::encodeDataObject(const NSData* data) noexcept {
  try {
    data_.reset();
    if (data) data_ = *data;
  } catch (...) {
    data_.reset();
  }
}

std::optional<NSData> PlistCoder::decodeDataObject() noexcept {
  try {
    return data_;
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<NSData> PlistCoder::binaryPlist() const noexcept {
  try {
    PlistPtr root(data_
                      ? plist_new_data(reinterpret_cast<const char*>(data_->data()), data_->size())
                      : plist_new_bool(0));
    if (!root) return std::nullopt;
    char* bytes = nullptr;
    std::uint32_t size = 0;
    plist_to_bin(root.get(), &bytes, &size);
    if (!bytes) return std::nullopt;
    NSData archive(reinterpret_cast<std::uint8_t*>(bytes),
                   reinterpret_cast<std::uint8_t*>(bytes) + size);
    plist_free_written(bytes);
    return archive;
  } catch (...) {
    return std::nullopt;
  }
}

bool PlistCoder::writeToFile(const std::string& path) const noexcept {
  const std::optional<NSData> archive = binaryPlist();
  if (!archive) return false;
  FilePtr file(std::fopen(path.c_str(), "wb"));
  if (!file) return false;
  const bool written =
      std::fwrite(archive->data(), 1, archive->size(), file.get()) == archive->size();
  return std::fclose(file.release()) == 0 && written;
}

// ---- FileAlias: construction ------------------------------------------------

FileAlias::Ptr FileAlias::initWithAliasHandle(AliasHandle alias) noexcept {
  try {
    return std::make_shared<FileAlias>(Passkey{}, alias);
  } catch (...) {
    // Ownership was handed over: an object that cannot be made lets go.
    DisposeHandle(reinterpret_cast<Handle>(alias));
    return nullptr;
  }
}

FileAlias::Ptr FileAlias::initWithData(const NSData* data) noexcept {
  return initWithAliasHandle(reinterpret_cast<AliasHandle>(DataToHandle(data)));
}

FileAlias::Ptr FileAlias::initWithPath(const std::string& path) noexcept {
  return initWithPath(path, nullptr);
}

FileAlias::Ptr FileAlias::initWithPath(const std::string& path,
                                       std::optional<NSError>* error) noexcept {
  FSRef ref;
  if (const OSStatus status = PathToFSRef(path, &ref); status != 0) {
    report(error, status);
    return nullptr;
  }
  return initWithFSRef(&ref, error);
}

FileAlias::Ptr FileAlias::initWithPathRelativeToPath(const std::string& path,
                                                     const std::string& base) noexcept {
  try {
    const std::string joined = stringByAppendingPathComponent(base, path);
    FSRef ref;
    FSRef base_ref;
    if (PathToFSRef(joined, &ref) != 0 || PathToFSRef(base, &base_ref) != 0) return nullptr;
    return initWithFSRefRelativeToFSRef(&ref, &base_ref);
  } catch (...) {
    return nullptr;
  }
}

FileAlias::Ptr FileAlias::initWithFSRef(const FSRef* ref) noexcept {
  return initWithFSRefRelativeToFSRef(ref, nullptr);
}

FileAlias::Ptr FileAlias::initWithFSRef(const FSRef* ref, std::optional<NSError>* error) noexcept {
  return initWithFSRefRelativeToFSRef(ref, nullptr, error);
}

FileAlias::Ptr FileAlias::initWithFSRefRelativeToFSRef(const FSRef* ref,
                                                       const FSRef* base) noexcept {
  return initWithFSRefRelativeToFSRef(ref, base, nullptr);
}

FileAlias::Ptr FileAlias::initWithFSRefRelativeToFSRef(const FSRef* ref, const FSRef* base,
                                                       std::optional<NSError>* error) noexcept {
  AliasHandle alias = nullptr;
  const auto status = static_cast<std::int16_t>(FSNewAlias(base, ref, &alias));
  if (status != 0) {
    report(error, status);
    return nullptr;
  }
  return initWithAliasHandle(alias);
}

FileAlias::Ptr FileAlias::initWithCoder(NSCoder& coder) noexcept {
  const std::optional<NSData> data = coder.decodeDataObject();
  return initWithData(data ? &*data : nullptr);
}

FileAlias::Ptr FileAlias::aliasWithAliasHandle(AliasHandle alias) noexcept {
  return initWithAliasHandle(alias);
}
FileAlias::Ptr FileAlias::aliasWithData(const NSData* data) noexcept { return initWithData(data); }
FileAlias::Ptr FileAlias::aliasWithPath(const std::string& path) noexcept {
  return initWithPath(path);
}
FileAlias::Ptr FileAlias::aliasWithPath(const std::string& path,
                                        std::optional<NSError>* error) noexcept {
  return initWithPath(path, error);
}
FileAlias::Ptr FileAlias::aliasWithPathRelativeToPath(const std::string& path,
                                                      const std::string& base) noexcept {
  return initWithPathRelativeToPath(path, base);
}
FileAlias::Ptr FileAlias::aliasWithFSRef(const FSRef* ref) noexcept { return initWithFSRef(ref); }
FileAlias::Ptr FileAlias::aliasWithFSRefRelativeToFSRef(const FSRef* ref,
                                                        const FSRef* base) noexcept {
  return initWithFSRefRelativeToFSRef(ref, base);
}

FileAlias::~FileAlias() {
  if (alias_) {
    DisposeHandle(reinterpret_cast<Handle>(alias_));
    alias_ = nullptr;
  }
}

// ---- FileAlias: the record --------------------------------------------------

void FileAlias::encodeWithCoder(NSCoder& coder) const noexcept {
  const std::optional<NSData> data = aliasData();
  coder.encodeDataObject(data ? &*data : nullptr);
}

void FileAlias::setAlias(AliasHandle alias) noexcept {
  // The handle already held is kept, not disposed of and then held freed.
  if (alias_ && alias_ != alias) DisposeHandle(reinterpret_cast<Handle>(alias_));
  alias_ = alias;
}

std::optional<NSData> FileAlias::aliasData() const noexcept {
  return HandleToData(reinterpret_cast<Handle>(alias_));
}

void FileAlias::setAliasData(const NSData* data) noexcept {
  setAlias(reinterpret_cast<AliasHandle>(DataToHandle(data)));
}

std::optional<std::string> FileAlias::fullPath() const noexcept {
  return fullPathRelativeToPath(std::nullopt);
}

std::optional<std::string> FileAlias::fullPathRelativeToPath(
    const std::optional<std::string>& base) const noexcept {
  if (!alias_) return std::nullopt;
  FSRef target;
  Boolean changed = 0;  // never acted on: the stored record is not rewritten
  OSErr status = noErr;
  if (base) {
    FSRef base_ref;
    if (PathToFSRef(*base, &base_ref) != 0) return std::nullopt;
    status = FSResolveAlias(&base_ref, alias_, &target, &changed);
  } else {
    status = FSResolveAlias(nullptr, alias_, &target, &changed);
  }
  if (static_cast<std::int16_t>(status) != 0) return std::nullopt;
  return FSRefToPathCopy(&target);
}

bool FileAlias::isEqual(const FileAlias* other) const noexcept {
  if (!other) return false;
  const std::optional<std::string> mine = fullPath();
  const std::optional<std::string> theirs = other->fullPath();
  return mine && theirs && *mine == *theirs;
}

std::uint32_t FileAlias::hash() const noexcept {
  const std::optional<std::string> path = fullPath();
  if (!path) return 0;
  std::uint32_t h = 2166136261u;  // FNV-1a: stable across runs, unlike std::hash
  for (char c : *path) h = (h ^ static_cast<std::uint8_t>(c)) * 16777619u;
  return h;
}

// ---- Plain conversions ------------------------------------------------------

Handle DataToHandle(const NSData* data) noexcept {
  if (!data) return nullptr;
  Handle handle = nullptr;
  (void)PtrToHand(data->data(), &handle, static_cast<Size>(data->size()));
  return handle;
}

std::optional<NSData> HandleToData(Handle handle) noexcept {
  if (!handle) return std::nullopt;
  const Size size = GetHandleSize(handle);
  const SInt8 state = HGetState(handle);
  HLock(handle);
  std::optional<NSData> data;
  try {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(*handle);
    data.emplace(bytes, bytes + size);
  } catch (...) {
    data.reset();
  }
  HSetState(handle, state);
  return data;
}

OSStatus PathToFSRef(const std::string& path, FSRef* ref) noexcept {
  if (!ref) return fnfErr;
  return FSPathMakeRef(path.c_str(), ref, nullptr) == noErr ? 0 : fnfErr;
}

std::optional<std::string> FSRefToPathCopy(const FSRef* ref) noexcept {
  if (!ref) return std::nullopt;
  try {
    std::string path;
    if (FSRefMakePath(ref, &path) != noErr) return std::nullopt;
    return path;
  } catch (...) {
    return std::nullopt;
  }
}
