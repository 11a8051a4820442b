// File: FileAlias/FileAlias.h
//
// FileAlias keeps one alias record (the platform's persistent reference to a
// file or folder, see platform/CoreServices.h): it makes the record from a
// path or a file reference, hands it out as bytes and takes it back,
// resolves it to the target's current path, and archives it through a coder
// as exactly one data object. Beside it, four plain conversions between
// bytes and handles and between paths and file references.
//
// Example:
//   std::optional<NSError> error;
//   if (auto alias = FileAlias::aliasWithPath("/home/u/Music", &error)) {
//     PlistCoder coder;
//     alias->encodeWithCoder(coder);            // keep coder.binaryPlist()
//     ...
//     auto again = FileAlias::initWithCoder(coder);
//     std::optional<std::string> now = again->fullPath();  // where it is today
//   } else {
//     // error->domain == NSOSStatusErrorDomain, error->code == -43
//   }
//
// Invariants: objects are shared (std::shared_ptr); every construction
// operation and factory gives a new object, or null when construction
// fails. An object owns its handle, or holds none, and disposes of it when
// it is replaced and when the object goes. Nothing is cached: fullPath,
// isEqual and hash resolve the record anew each time. Nothing here throws.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/CoreServices.h"
#include "platform/Foundation.h"

// ---- Coders ---------------------------------------------------------------

// What archiving needs of a coder: one data object in, one out. A null
// pointer stands for nil.
class NSCoder {
 public:
  virtual ~NSCoder() = default;
  virtual void encodeDataObject(const NSData* data) noexcept = 0;
  [[nodiscard]] virtual std::optional<NSData> decodeDataObject() noexcept = 0;
};

// A coder whose archive is a binary property list with one data object as
// its root, empty data included; nil is archived as the boolean false, so
// that an empty data object and nil each come back as themselves.
class PlistCoder final : public NSCoder {
 public:
  PlistCoder() noexcept = default;
  // A coder over an archive (binary or XML); nullopt when the bytes are not
  // a property list whose root is a data object or false (nil).
  [[nodiscard]] static std::optional<PlistCoder> withArchive(const NSData& archive) noexcept;
  // The same over an archive file; nullopt also when it cannot be read.
  [[nodiscard]] static std::optional<PlistCoder> withContentsOfFile(
      const std::string& path) noexcept;

  void encodeDataObject(const NSData* data) noexcept override;
  [[nodiscard]] std::optional<NSData> decodeDataObject() noexcept override;

  // The archive: a binary property list. Nullopt when out of memory.
  [[nodiscard]] std::optional<NSData> binaryPlist() const noexcept;
  // Writes binaryPlist() to `path`: true on success.
  [[nodiscard]] bool writeToFile(const std::string& path) const noexcept;

 private:
  std::optional<NSData> data_;  // nullopt: nil
};

// ---- FileAlias --------------------------------------------------------------

class FileAlias {
  struct Passkey {};

 public:
  using Ptr = std::shared_ptr<FileAlias>;

  // Construction operations. `error`, when not null, receives an error of
  // domain NSOSStatusErrorDomain whose code is the failing status; it is
  // left as it was on success.

  // Takes ownership of `alias` (no copy); null gives an object without one.
  [[nodiscard]] static Ptr initWithAliasHandle(AliasHandle alias) noexcept;
  // A copy of the bytes as the record; nil gives an object without one.
  [[nodiscard]] static Ptr initWithData(const NSData* data) noexcept;
  [[nodiscard]] static Ptr initWithPath(const std::string& path) noexcept;
  // Null with -43 when nothing exists at `path`.
  [[nodiscard]] static Ptr initWithPath(const std::string& path,
                                        std::optional<NSError>* error) noexcept;
  // `path` read inside the folder `base`, made relative to it; null (and no
  // error) when the joined path or the base does not exist.
  [[nodiscard]] static Ptr initWithPathRelativeToPath(const std::string& path,
                                                      const std::string& base) noexcept;
  [[nodiscard]] static Ptr initWithFSRef(const FSRef* ref) noexcept;
  [[nodiscard]] static Ptr initWithFSRef(const FSRef* ref, std::optional<NSError>* error) noexcept;
  [[nodiscard]] static Ptr initWithFSRefRelativeToFSRef(const FSRef* ref,
                                                        const FSRef* base) noexcept;
  // Null with FSNewAlias's status when no record can be made.
  [[nodiscard]] static Ptr initWithFSRefRelativeToFSRef(const FSRef* ref, const FSRef* base,
                                                        std::optional<NSError>* error) noexcept;
  // initWithData with the coder's one data object.
  [[nodiscard]] static Ptr initWithCoder(NSCoder& coder) noexcept;

  // Factories: the matching construction operation.
  [[nodiscard]] static Ptr aliasWithAliasHandle(AliasHandle alias) noexcept;
  [[nodiscard]] static Ptr aliasWithData(const NSData* data) noexcept;
  [[nodiscard]] static Ptr aliasWithPath(const std::string& path) noexcept;
  [[nodiscard]] static Ptr aliasWithPath(const std::string& path,
                                         std::optional<NSError>* error) noexcept;
  [[nodiscard]] static Ptr aliasWithPathRelativeToPath(const std::string& path,
                                                       const std::string& base) noexcept;
  [[nodiscard]] static Ptr aliasWithFSRef(const FSRef* ref) noexcept;
  [[nodiscard]] static Ptr aliasWithFSRefRelativeToFSRef(const FSRef* ref,
                                                         const FSRef* base) noexcept;

  explicit FileAlias(Passkey, AliasHandle alias) noexcept : alias_(alias) {}
  ~FileAlias();
  FileAlias(const FileAlias&) = delete;
  FileAlias& operator=(const FileAlias&) = delete;

  // Stores aliasData() as the coder's one data object.
  void encodeWithCoder(NSCoder& coder) const noexcept;

  // The held handle, still owned by the object; null when none.
  [[nodiscard]] AliasHandle alias() const noexcept { return alias_; }
  // Disposes of the held handle, then owns `alias`. Passing the handle
  // already held is a fault: it is gone before it would be stored.
  void setAlias(AliasHandle alias) noexcept;
  // A copy of the record's bytes; nullopt when there is no alias.
  [[nodiscard]] std::optional<NSData> aliasData() const noexcept;
  // setAlias with a new handle holding a copy of `data`; nil clears it.
  void setAliasData(const NSData* data) noexcept;

  // The target's current path; nullopt when there is no alias or it does
  // not resolve. With a base, a record made relative to one is resolved
  // from it first; a base that does not exist gives nullopt.
  [[nodiscard]] std::optional<std::string> fullPath() const noexcept;
  [[nodiscard]] std::optional<std::string> fullPathRelativeToPath(
      const std::optional<std::string>& base) const noexcept;

  // Equal when both resolve, to the same path; an alias that does not
  // resolve equals nothing, itself included.
  [[nodiscard]] bool isEqual(const FileAlias* other) const noexcept;
  // A hash of fullPath(); 0 when that is nullopt.
  [[nodiscard]] std::uint32_t hash() const noexcept;

 private:
  AliasHandle alias_;
};

// ---- Plain conversions ------------------------------------------------------

// A new handle with a copy of `data`, or null for nil (or when none could be
// made). The caller frees it with DisposeHandle.
[[nodiscard]] Handle DataToHandle(const NSData* data) noexcept;
// A copy of the handle's bytes; nullopt for null. The handle's lock state is
// the same afterwards as before.
[[nodiscard]] std::optional<NSData> HandleToData(Handle handle) noexcept;
// 0 and `ref` filled, or -43 when nothing exists at `path`.
[[nodiscard]] OSStatus PathToFSRef(const std::string& path, FSRef* ref) noexcept;
// The path of the entry `ref` refers to; nullopt for null or when that
// entry is no longer there.
[[nodiscard]] std::optional<std::string> FSRefToPathCopy(const FSRef* ref) noexcept;
