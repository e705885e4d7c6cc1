// Patching: the server brings the installation's data files up to date, one chunk per request.
//
// A chunk's file name comes from the server and is handled as untrusted input: it is read up to
// its NUL or the end of its 128 bytes, backslashes separate folders (the server names files the
// Windows way), and a name that is empty, absolute, has a drive letter or a ".." part, or that
// would resolve outside the installation folder (symbolic links included), is refused like a
// file that cannot be opened, and never opened.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace talmeris {
struct ClientContext;
struct ShortMessage;

constexpr std::size_t kPatchNameSize = 128;
constexpr std::size_t kPatchDataSize = 16384;
constexpr std::size_t kPatchOffsetField = 128;
constexpr std::size_t kPatchLengthField = 132;
constexpr std::size_t kPatchDataField = 136;
constexpr std::size_t kPatchOperationField = 16520;

// LoginStatus with value2 1.0: the patch starts.
void StartPatch(ClientContext& ctx, const ShortMessage& login_status);

// One 16524-byte PatchChunkMessage.
void OnPatchChunk(ClientContext& ctx, const std::uint8_t* chunk);

// The file a chunk names, inside `install_dir`; none when the name is refused. Missing parent
// folders inside the installation folder are created when `create_parents` is set.
std::optional<std::filesystem::path> ResolvePatchPath(const std::filesystem::path& install_dir,
                                                      std::string_view name, bool create_parents);

// "Patching: %i%%": done * 100 / total without overflow; a total of 0 shows 100.
std::string PatchProgressText(std::uint32_t done, std::uint32_t total);

}  // namespace talmeris
