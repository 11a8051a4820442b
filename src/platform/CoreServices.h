// File: platform/CoreServices.h
//
// The CoreServices calls afclink makes, on plain C++ and POSIX:
//   - memory handles with a lock state (PtrToHand, GetHandleSize, HGetState,
//     HLock, HSetState, DisposeHandle), shaped like the Mac's: a Handle
//     points at a master pointer, which points at the block;
//   - file references (FSRef) to entries that exist: device, inode and the
//     canonical path they were made from;
//   - alias records in the real Mac byte format (big-endian, version 2 or 3,
//     a fixed part, tagged items, an end marker), so records copied out of a
//     Mac's preference files read here and records written here read on a
//     Mac. We write version 2 and read versions 2 and 3.
// Each group is implemented in a file of its own: handles.cpp, file_refs.cpp,
// and alias_reader.cpp, alias_writer.cpp and alias_resolver.cpp on the shared
// layout in alias_record.h and the conversions in text_encodings.h.
//
// Example:
//   FSRef target;
//   if (FSPathMakeRef("/home/u/Music", &target, nullptr) == noErr) {
//     AliasHandle alias = nullptr;
//     if (FSNewAlias(nullptr, &target, &alias) == noErr) {
//       std::optional<std::string> path;
//       (void)FSCopyAliasInfo(alias, nullptr, nullptr, &path, nullptr, nullptr);
//       DisposeHandle(reinterpret_cast<Handle>(alias));
//     }
//   }
//
// Invariants: a record is read only within both the size it states and its
// handle's size; a damaged or truncated record is rejected with paramErr
// (-50), never read out of bounds. Every
// out-parameter is cleared before anything can fail. Nothing here throws.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

using OSErr = std::int16_t;
using OSStatus = std::int32_t;
using OSType = std::uint32_t;
using Size = long;
using SInt8 = std::int8_t;
using Boolean = std::uint8_t;

inline constexpr OSErr noErr = 0;
inline constexpr OSErr fnfErr = -43;       // file not found
inline constexpr OSErr paramErr = -50;     // bad argument, or a record we cannot read
inline constexpr OSErr memFullErr = -108;  // out of memory
inline constexpr OSErr nilHandleErr = -109;

// ---- Memory handles -------------------------------------------------------

using Ptr = char*;
using Handle = char**;

// HGetState's bit for a locked handle. Locking pins nothing here (blocks
// never move) but the state is kept so callers can save and restore it.
inline constexpr std::uint8_t kHandleLockedMask = 0x80;

// A new unlocked handle holding a copy of `size` bytes at `srcPtr`:
// noErr; paramErr for a negative size or null `dstHndl`; memFullErr.
// *dstHndl is null on failure. The caller frees it with DisposeHandle.
[[nodiscard]] OSErr PtrToHand(const void* srcPtr, Handle* dstHndl, Size size) noexcept;
// A new unlocked handle of `size` zero bytes; null when out of memory.
[[nodiscard]] Handle NewHandle(Size size) noexcept;
// Bytes in the handle's block; 0 for null.
[[nodiscard]] Size GetHandleSize(Handle h) noexcept;
// The handle's state flags (kHandleLockedMask); 0 for null.
[[nodiscard]] SInt8 HGetState(Handle h) noexcept;
void HSetState(Handle h, SInt8 flags) noexcept;
void HLock(Handle h) noexcept;
void HUnlock(Handle h) noexcept;
// Frees the handle and its block; null is ignored.
void DisposeHandle(Handle h) noexcept;

// Owns a handle: DisposeHandle when it goes.
struct HandleDisposer {
  void operator()(Handle h) const noexcept { DisposeHandle(h); }
};
using HandlePtr = std::unique_ptr<char*, HandleDisposer>;

// ---- File references ------------------------------------------------------

// Refers to one entry that existed when the reference was made.
struct FSRef {
  dev_t device = 0;
  ino_t inode = 0;
  std::string path;  // canonical: absolute, no symbolic links, no "." or ".."
};

// Fills `ref` for the entry at `path`, following symbolic links: noErr;
// fnfErr when nothing exists there; paramErr for null arguments.
// `isDirectory` (optional) receives whether the entry is a folder.
[[nodiscard]] OSStatus FSPathMakeRef(const char* path, FSRef* ref, Boolean* isDirectory) noexcept;
// The path of the entry `ref` refers to: noErr; fnfErr when that entry is no
// longer at its path (removed, or replaced by another); paramErr for null.
[[nodiscard]] OSStatus FSRefMakePath(const FSRef* ref, std::string* path) noexcept;

// ---- Alias records --------------------------------------------------------

struct AliasRecord;  // opaque: the bytes of a record
using AliasPtr = AliasRecord*;
using AliasHandle = AliasPtr*;

struct HFSUniStr255 {
  std::uint16_t length;
  std::uint16_t unicode[255];
};

// 1/65536 s since 1904-01-01 UTC, split as the Mac does.
struct UTCDateTime {
  std::uint16_t highSeconds;
  std::uint32_t lowSeconds;
  std::uint16_t fraction;
};

using FSAliasInfoBitmap = std::uint32_t;
inline constexpr FSAliasInfoBitmap kFSAliasInfoNone = 0x00;
inline constexpr FSAliasInfoBitmap kFSAliasInfoVolumeCreateDate = 0x01;
inline constexpr FSAliasInfoBitmap kFSAliasInfoTargetCreateDate = 0x02;
inline constexpr FSAliasInfoBitmap kFSAliasInfoFinderInfo = 0x04;
inline constexpr FSAliasInfoBitmap kFSAliasInfoIsDirectory = 0x08;
inline constexpr FSAliasInfoBitmap kFSAliasInfoIDs = 0x10;
inline constexpr FSAliasInfoBitmap kFSAliasInfoFSInfo = 0x20;
inline constexpr FSAliasInfoBitmap kFSAliasInfoVolumeFlags = 0x40;

struct FSAliasInfo {
  UTCDateTime volumeCreateDate;
  UTCDateTime targetCreateDate;
  OSType fileType;
  OSType fileCreator;
  std::uint32_t parentDirID;
  std::uint32_t nodeID;
  std::uint16_t filesystemID;
  std::uint16_t signature;  // 'H+' for HFS+; version 3 keeps the first half of its type
  Boolean volumeIsBootVolume;
  Boolean volumeIsAutomounted;
  Boolean volumeIsEjectable;
  Boolean volumeHasPersistentFileIDs;
  Boolean isDirectory;
};

// Reads what a record stores, without touching the disk. Every output is
// optional. `pathString` receives the stored target path: the mount point
// (tag 19, else "/" for a boot volume, else "/Volumes/" + volume name) joined
// with the POSIX path (tag 18), or failing tag 18 the HFS path (tag 2)
// turned into POSIX form; nullopt when the record holds neither. Names come
// from the Unicode tags when present, else from the fixed part.
// noErr; paramErr for a null handle or a record that is damaged, truncated,
// of another version than 2 or 3, or longer than its handle.
[[nodiscard]] OSStatus FSCopyAliasInfo(AliasHandle inAlias, HFSUniStr255* targetName,
                                       HFSUniStr255* volumeName,
                                       std::optional<std::string>* pathString,
                                       FSAliasInfoBitmap* whichInfo, FSAliasInfo* info) noexcept;

// Writes a version 2 record for the existing entry `target`, relative to
// `fromFile` when that is given (its folder: the entry itself if it is a
// folder, else its parent): noErr and a new handle in *inAlias, which the
// caller frees with DisposeHandle; paramErr for null arguments or a path too
// long for a record; fnfErr when the target is gone; memFullErr.
[[nodiscard]] OSErr FSNewAlias(const FSRef* fromFile, const FSRef* target,
                               AliasHandle* inAlias) noexcept;

// Finds the record's target as it is now: first relative to `fromFile`
// when one is given and the record was made relative to a base, then at the
// stored path. noErr and `target` filled; fnfErr when neither route leads to
// an existing entry; paramErr as for FSCopyAliasInfo. The record is never
// rewritten, so *wasChanged (optional) is always false.
[[nodiscard]] OSErr FSResolveAlias(const FSRef* fromFile, AliasHandle alias, FSRef* target,
                                   Boolean* wasChanged) noexcept;
