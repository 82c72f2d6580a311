#pragma once
// What the window says of the image the user picked, from what
// platform::ProbeImageContent found: one summary line (its file systems and
// labels, its partition tables, its size once written beside the stick's),
// and the flag for an image that will most likely not do what the user means
// (one that cannot start a computer from a stick, one the system recognises
// nothing in, one whose content could not be read) with its sentences.
//
// Threads: any; pure functions. Labels come from the image: they are cleaned
// and cut here, so the texts are single lines of plain text.

#include <QString>
#include <cstdint>
#include <optional>

#include "platform/files/ImageContent.h"

enum class ImageFlag {
    None,
    // An ISO 9660 or UDF file system but neither the MBR boot signature nor a
    // GPT at the start: made for optical discs (Windows installation media).
    NotBootable,
    Unrecognised,  // no partition table, no file system libblkid knows
    Unreadable,    // see ImageContent::problem
};

ImageFlag FlagOf(const platform::ImageContent& content);

// `ISO 9660 “Debian 12.8.0 amd64 n” · MBR + GPT · 631 MB once written (stick:
// 7633 MB)`, `GPT: vfat “EFI”, ext4 “rootfs” · …`. Sizes in MB of 1,048,576
// bytes, as the stick's "Size:" line; the stick's part only when its bytes
// are given. An unreadable image has none: "".
QString ImageSummaryText(const platform::ImageContent& content,
                         std::optional<std::int64_t> stickBytes = std::nullopt);

// What the block map beside the image maps, or why it is ignored; "" when
// there is none.
QString BlockMapText(const BlockMapInfo& info);

// The flag's sentence for the image line; "" for None.
QString FlagSentence(const platform::ImageContent& content);
// The flag's paragraph for the data-loss confirmation (an image that cannot
// start a computer, one the system recognises nothing in); "" for the others.
QString FlagConfirmationText(ImageFlag flag);
