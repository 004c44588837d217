#pragma once
/// The release manifest: what a signed store holds at one state, as a text
/// file signed like any other (`Mirvale.manifest` beside
/// `Mirvale.manifest.minisig`).
///
///   mirvale-manifest 1
///   game Mirvale
///   versions 3 12
///   file 2048 <hash> 911 <hash> Data\Map.dat
///   file ...
///
/// - Every line ends with "\n"; no blank lines, no "\r", fields separated by
///   one blank.
/// - The first line names the format and its version (1); any other is
///   refused, so a later format is never half understood.
/// - `game`: the game's name, 1 to 64 printable ASCII characters, no blank.
/// - `versions`: the major and the minor version of the state, unsigned
///   32-bit decimals without sign or leading zeros.
/// - One `file` line per file of the game at that state: the size of its
///   content, the BLAKE2b-256 of its content (64 lower-case hex digits), the
///   size and BLAKE2b-256 of the gzip stream the store sends for it, and its
///   name as on the wire (backslashes between folders). In the name every
///   byte outside '!'..'~' and '%' itself is written as '%' and two
///   upper-case hex digits ("Read%20Me.txt"); nothing else may be escaped,
///   and %00 is refused (names end at NUL on the wire). Sizes are unsigned
///   64-bit decimals.
/// - Files are written sorted by name bytes; any order is read, a name twice
///   is refused. Zero files are allowed.
/// The notice page and the manifest's own two files are not listed.
///
/// The signature's trusted comment binds the versions and the game:
///   "<game> manifest <major> <minor>"   e.g. "Mirvale manifest 3 12"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "trust/hash.h"
#include "trust/keys.h"
#include "trust/verdict.h"

namespace trust {

/// The game's name as manifests and their signatures carry it.
constexpr const char* kGameName = "Mirvale";
constexpr const char* kManifestFileName = "Mirvale.manifest";
constexpr const char* kManifestSignatureFileName = "Mirvale.manifest.minisig";
constexpr std::uint32_t kManifestFormatVersion = 1;
/// Largest manifest read: about 20,000 files of long escaped names.
constexpr std::size_t kMaxManifestSize = 16u << 20;
constexpr std::size_t kMaxGameNameSize = 64;

struct ManifestEntry {
  std::string name;        ///< as on the wire, exact bytes
  std::uint64_t size = 0;  ///< of the content
  Digest contentHash{};
  std::uint64_t streamSize = 0;  ///< of the stored gzip stream
  Digest streamHash{};
};

struct Manifest {
  std::string game;
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  std::vector<ManifestEntry> files;  ///< sorted by name after parsing

  /// The entry of exactly NAME (byte for byte), or nullptr. FILES must be
  /// sorted by name, as ParseManifest leaves them.
  const ManifestEntry* Find(std::string_view name) const;
};

/// The text of MANIFEST, files sorted by name. False (TEXT untouched) when
/// the game's name or a file name cannot be written or a name is repeated.
bool SerializeManifest(const Manifest& manifest, std::string& text);

/// Reads TEXT strictly. On a refusal, LINE (when given) receives the 1-based
/// line at fault (0 when the whole text is at fault).
Verdict ParseManifest(std::string_view text, Manifest& manifest, std::size_t* line = nullptr);

/// "<game> manifest <major> <minor>".
std::string ManifestTrustedComment(const Manifest& manifest);
/// Accepted when COMMENT is exactly the trusted comment MANIFEST calls for.
Verdict CheckTrustedComment(const Manifest& manifest, std::string_view comment);

/// The whole check of a received or installed manifest: SIGNATURE_FILE is
/// KEY's signature of MANIFEST_TEXT, the text parses, and the trusted
/// comment agrees with its body. MANIFEST receives the body on Accepted.
Verdict VerifyManifest(const PublicKey& key, std::string_view manifestText, std::string_view signatureFile,
                       Manifest& manifest);

/// Serializes MANIFEST and signs it: both files' texts. False when it cannot
/// be serialized.
bool SignManifest(const SecretKey& key, const Manifest& manifest, std::string& manifestText,
                  std::string& signatureFile);

}  // namespace trust
