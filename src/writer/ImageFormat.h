#pragma once
// ImageFormat: what an image holds, and how each kind reaches the device.
// Pure functions over plain data: the writer does the reading and runs the
// programs (DeviceImageWriter, platform/ChildProcess).
//
// A raw image is copied from where it is. xz and zstd images whose
// decompressed size their own index gives are streamed: the decompressor's
// output goes through a pipe onto the device. Every other compressed image
// (gzip, bzip2, a zstd frame that does not record its size) is decompressed
// into the temporary file first, through the shell.

#include <cstddef>
#include <cstdint>
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
// --robot --list, zstd -lv); empty when the format has no such index.
std::vector<std::string> SizeListArguments(ImageFormat format, const std::string& path);
// The decompressed size in that listing's output; -1 when it does not give
// one (a zstd frame without a content size).
std::int64_t ListedSize(ImageFormat format, std::string_view listing);

// The decompressor that writes the image to its standard output, for a
// streamed image. xz decodes multi-block files on all cores (-T0) as far as
// a memory cap of 20 MiB allows.
std::vector<std::string> StreamArguments(ImageFormat format, const std::string& path);
