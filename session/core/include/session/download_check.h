#pragma once
/// The check of a session's downloads against the signed release manifest
/// that came with them, before anything of the session is installed; and
/// the removal of the downloads of a session that failed it.
///
/// A signed server ends every session that sends files with two more files,
/// the manifest and its signature (trust/manifest.h), whose gzip streams
/// hold stored blocks alone: they are read here in memory, never through the
/// engine, so a hostile stream can at worst be refused. The other streams
/// were hashed as they arrived (UpdateSession::HashStreams); each must be
/// the one the manifest lists under the name it was sent by.

#include <string>
#include <string_view>

#include "session/session_host.h"

namespace session {

/// Checks OUTCOME (a session that hashed its streams and received files)
/// with the key PUBLICKEYLINE (the base64 line of Config.ini): the
/// signature; the manifest's versions are those the session records and
/// none is below File.ver; every other received stream is listed with its
/// size and hash. Empty when the downloads may be installed, else one
/// English line saying why not (naming the file at fault).
std::string CheckDownloads(const std::string& publicKeyLine, const SessionOutcome& outcome);

/// Removes every ".gz" file the session wrote, complete or not, and forgets
/// what it received: nothing of it is installed. A file that cannot be
/// removed yet (still open, on Windows) stays in OUTCOME.downloads.
void DiscardDownloads(SessionOutcome& outcome);

/// The content of STREAM, a whole gzip stream of stored deflate blocks
/// with a matching trailer and nothing behind it, at most MAXSIZE bytes;
/// false for anything else.
bool ReadStoredGzip(std::string_view stream, std::size_t maxSize, std::string& content);

}  // namespace session
