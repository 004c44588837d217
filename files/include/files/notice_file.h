#pragma once
/// The local copy of the server's notice page, Notice.html in the current
/// directory, whose modification time is the server's stamp for it.

#include <cstdint>
#include <optional>

namespace files {

inline constexpr const char* kNoticeName = "Notice.html";

/// The page's time as the session compares it with the server's STAMP: its
/// modification time in seconds, or 0 without a page. When the server has
/// no notice (STAMP 0) a page left from before is deleted.
std::int32_t LocalNoticeTime(std::int32_t stamp);

/// The page's size when a page is there to show: only a regular file is one
/// (a folder or a pipe under that name would leave a view waiting or showing
/// something that is not a notice).
std::optional<std::int64_t> ShowableNoticeSize();

/// Gives a freshly written page the server's STAMP as its access and
/// modification time.
bool StampNotice(std::int32_t stamp);

}  // namespace files
