#pragma once
// ImageFormat: what an image holds, and how each kind reaches the device.
// Pure functions over plain data: the writer does the reading and runs the
// programs (DeviceImageWriter, platform/ChildProcess).
//
// A raw image is copied from where it is. xz images whose index gives their
// decompressed size, and zstd images whose every frame header records it,
// are streamed: the decompressor's output goes through a pipe onto the
// device. Every other compressed image (gzip, bzip2, a zstd frame that does
// not record its size) is decompressed into the temporary file first,
// through the shell.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// What an image holds, by its first bytes: gzip 1f 8b, xz fd 37 7a 58 5a 00,
// zstd 28 b5 2f fd, bzip2 42 5a 68, anything else raw. Damaged: the name
// promises compression (.gz .imgz .xz .zst .bz2, any case) that the content
// lacks; such an image is never written.
enum class ImageFormat { Raw, Gzip, Xz, Zstd, Bzip2, Damaged };

ImageFormat FormatOfContent(const unsigned char* magic, std::size_t length);
// The compression a file name promises; Raw when it promises none.
ImageFormat FormatOfName(const std::string& path);

// The shell's decompression command word ("gunzip -c", "xz -dc", ...) for the
// temporary-file path; null for Raw and Damaged.
const char* DecompressTool(ImageFormat format);

// The program and arguments that list the image's decompressed size (xz
// --robot --list); empty when the format has no such listing.
std::vector<std::string> SizeListArguments(ImageFormat format, const std::string& path);
// The decompressed size in that listing's output; -1 when it does not give
// one.
std::int64_t ListedSize(ImageFormat format, std::string_view listing);

// Reads up to `size` bytes at `offset` of a file; the count, or -1.
using ReadAt = std::function<long long(std::int64_t offset, void* into, std::size_t size)>;
// A zstd file's decompressed size from its frame headers (libzstd reads
// them): their content sizes added up, skippable frames counting nothing. The
// next frame is found by hopping over the blocks' 3-byte headers, so a few
// bytes of each block are read and never the whole file. *size is -1 when a
// frame does not record its size. false, and *problem, when the frames are
// damaged or cut short.
bool ZstdContentSize(const ReadAt& read, std::int64_t fileBytes, std::int64_t* size,
                     std::string* problem);

// The decompressor that writes the image to its standard output, for a
// streamed image. xz decodes multi-block files on all cores (-T0), as many
// at once as kXzThreadMemory allows.
std::vector<std::string> StreamArguments(ImageFormat format, const std::string& path);
