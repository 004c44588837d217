// update-server: the reference update server for game operators. Publishes
// releases into a store folder (signed or not), sets the notice page, shows
// the store, makes signing keys, and serves updaters from it.

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "server/publish.h"
#include "server/release_store.h"
#include "server/store_upkeep.h"
#include "server/signing.h"
#include "server/update_server.h"
#include "trust/keys.h"

namespace {

/// Printed with the key file names, the default port and the redirect port.
constexpr const char* kUsage =
    "usage: update-server COMMAND ...\n"
    "  publish STORE major|minor DIR [--sign SECRET_KEY [--new-key]]\n"
    "        publish every file below DIR as the next version of that kind (the\n"
    "        store is created when missing); prints the new version. --sign\n"
    "        signs the manifest of the new state; the first signed publish makes\n"
    "        the store a signed one, which then takes only its key (--new-key:\n"
    "        sign with another key from now on; players need its public key)\n"
    "  notice STORE FILE\n"
    "        set FILE (HTML) as the notice page; its time stamp is now, and at\n"
    "        least 2 seconds after the previous one\n"
    "  notice STORE --clear\n"
    "        remove the notice page\n"
    "  show STORE\n"
    "        the version counters, the notice, the signing key, and per version\n"
    "        the files it changed\n"
    "  prune STORE [--dry-run]\n"
    "        remove what no state can send any more: copies of files a newer\n"
    "        release changed again, and old notice pages; never what a running\n"
    "        server may still send. Prints each removed file and the bytes freed\n"
    "  check STORE\n"
    "        verify every stored file against what publish recorded (size and\n"
    "        CRC-32); exit status 1 naming each damaged file\n"
    "  keygen DIR\n"
    "        make a signing key pair: DIR/%s (public) and\n"
    "        DIR/%s (secret, unencrypted; keep it off the serving\n"
    "        machines); prints the key id and the PublicKey= line for the\n"
    "        players' Config.ini\n"
    "  serve STORE [--listen ADDR:PORT] [--redirect IPV4[:WEIGHT]]...\n"
    "              [--check-interval SECONDS] [--timeout SECONDS]\n"
    "              [--max-sessions N] [--max-per-address N]\n"
    "              [--rate BYTES_PER_SECOND] [--max-rate BYTES_PER_SECOND]\n"
    "              [--metrics ADDR:PORT]\n"
    "        serve updaters (default 0.0.0.0:%u), one log line per session on\n"
    "        standard output; a new state of the store is picked up for new\n"
    "        sessions. --redirect sends updaters to a back server (port %u);\n"
    "        given several times, in proportion to their weights (default 1),\n"
    "        spread evenly. Each back server is checked every --check-interval\n"
    "        seconds (default 5) and is handed out only while it answers with\n"
    "        this server's state (both versions and the notice stamp); when none\n"
    "        does, this server sends the files itself. Each change of a back\n"
    "        server's health is one log line.\n"
    "        --timeout drops a session whose request has not arrived that long\n"
    "        after it connected, or that makes no progress that long (default 30).\n"
    "        --max-sessions caps the sessions at once (default: as many as the\n"
    "        descriptor limit allows); --max-per-address caps those from one\n"
    "        address (default 64, 0 for no cap), more are closed at once.\n"
    "        --rate caps the bytes per second sent to each session, --max-rate\n"
    "        those sent to all sessions together, shared in turns (default: no\n"
    "        cap); a session waiting for its share is never dropped as idle.\n"
    "        --metrics answers GET /metrics on ADDR:PORT in the Prometheus text\n"
    "        format: sessions by outcome, bytes sent, sessions in progress,\n"
    "        session durations, redirects and health per back server, the state\n"
    "        served.\n"
    "        Stops on SIGTERM or SIGINT.\n"
    "  --help\n"
    "        show this text\n"
    "Exit status: 0 done, 1 failed (one line on standard error), 2 bad usage.\n";

constexpr int kFailure = 1;
constexpr int kUsageError = 2;

int Fail(const std::string& message) {
  std::fprintf(stderr, "update-server: %s\n", message.c_str());
  return kFailure;
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "update-server: %s (see update-server --help)\n", message.c_str());
  return kUsageError;
}

/// 12345678 -> "12,345,678".
std::string Grouped(std::uint64_t n) {
  const std::string digits = std::to_string(n);
  std::string grouped;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
    grouped += digits[i];
  }
  return grouped;
}

std::string UtcTime(std::int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm utc{};
  gmtime_r(&t, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc);
  return text;
}

std::string Percent(std::uint64_t part, std::uint64_t whole) {
  char text[16];
  std::snprintf(text, sizeof text, "%.1f%%", whole == 0 ? 100.0 : 100.0 * part / whole);
  return text;
}

int Publish(const std::string& store, const std::string& kindText, const std::string& dir,
            const std::vector<std::string>& args) {
  int kind = 0;
  if (!server::ParseKind(kindText, kind)) return UsageError("kind must be major or minor");
  std::string keyPath;
  server::PublishOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--sign" && i + 1 < args.size() && keyPath.empty()) {
      keyPath = args[++i];
    } else if (args[i] == "--new-key") {
      options.signing.newKey = true;
    } else {
      return UsageError("publish wants STORE major|minor DIR [--sign SECRET_KEY [--new-key]]");
    }
  }
  if (options.signing.newKey && keyPath.empty()) return UsageError("--new-key goes with --sign");
  try {
    if (!keyPath.empty()) options.signing.key = server::LoadSecretKey(keyPath);
    const server::PublishResult result = server::Publish(store, kind, dir, options);
    const server::Release& r = *result.release;
    std::printf("published %s version %u: %zu file(s), %s bytes, %s compressed (%s)\n",
                server::KindName(kind), r.version, r.files.size(), Grouped(r.OriginalTotal()).c_str(),
                Grouped(r.GzipTotal()).c_str(), Percent(r.GzipTotal(), r.OriginalTotal()).c_str());
    if (!result.manifest.empty()) {
      std::printf("signed with key id %s: %s\n", trust::KeyIdText(options.signing.key->id).c_str(),
                  result.manifest.c_str());
    }
    for (const std::string& note : result.notes) std::printf("note: %s\n", note.c_str());
    return 0;
  } catch (const server::PublishRefused& e) {
    Fail(e.what());
    for (const server::NameRefusal& r : e.refusals) {
      std::fprintf(stderr, "  %s: %s\n", r.name.c_str(), r.reason.c_str());
    }
    return kFailure;
  } catch (const server::StoreError& e) {
    return Fail(std::string(e.what()) + "; nothing was published");
  }
}

/// Runs a command on the store: a store error is its one line and status 1.
template <typename Command>
int OnStore(Command command) {
  try {
    return command();
  } catch (const server::StoreError& e) {
    return Fail(e.what());
  }
}

int Notice(const std::string& store, const std::string& file) {
  if (file == "--clear") {
    server::ClearNotice(store);
    std::printf("notice removed\n");
  } else {
    const std::int32_t stamp = server::SetNotice(store, file, std::time(nullptr));
    std::printf("notice set: stamp %d (%s)\n", stamp, UtcTime(stamp).c_str());
  }
  return 0;
}

int Show(const std::string& store) {
  const auto snapshot = server::LoadSnapshot(store);
  std::printf("store %s\n", store.c_str());
  std::printf("major %u, minor %u\n", snapshot->Counter(0), snapshot->Counter(1));
  if (snapshot->notice.stamp == 0) {
    std::printf("notice: none\n");
  } else {
    std::printf("notice: stamp %d (%s), %s bytes, %s\n", snapshot->notice.stamp,
                UtcTime(snapshot->notice.stamp).c_str(), Grouped(snapshot->notice.bytes).c_str(),
                snapshot->notice.path.c_str());
  }
  const server::SigningStatus signing = server::CheckStoreSigning(*snapshot);
  if (!signing.isSigned) {
    std::printf("signing: none\n");
  } else if (signing.problem.empty()) {
    std::printf("signing: key id %s; the manifest of the state in force verifies\n", signing.keyId.c_str());
  } else {
    std::printf("signing: key id %s; the manifest of the state in force does NOT verify: %s\n",
                signing.keyId.c_str(), signing.problem.c_str());
  }
  for (int kind = 0; kind < server::kKinds; ++kind) {
    for (const auto& release : snapshot->releases[kind]) {
      std::printf("\n%s version %u, published %s: %zu file(s), %s bytes, %s compressed\n",
                  server::KindName(kind), release->version, UtcTime(release->publishedAt).c_str(),
                  release->files.size(), Grouped(release->OriginalTotal()).c_str(),
                  Grouped(release->GzipTotal()).c_str());
      for (const server::StoredFile& f : release->files) {
        std::printf("  %15s %15s  %s\n", Grouped(f.originalBytes).c_str(), Grouped(f.gzipBytes).c_str(),
                    f.name.c_str());
      }
    }
  }
  return 0;
}

int Prune(const std::string& store, bool dryRun) {
  server::PruneOptions options;
  options.dryRun = dryRun;
  const server::PruneResult result = server::Prune(store, options);
  const char* verb = dryRun ? "would remove" : "removed";
  for (const std::string& path : result.removed) std::printf("%s %s\n", verb, path.c_str());
  for (const std::string& path : result.held) {
    std::printf("kept %s (a running server may still send it)\n", path.c_str());
  }
  std::printf("%s %zu file(s), %s bytes\n", dryRun ? "would free" : "freed", result.removed.size(),
              Grouped(result.bytesFreed).c_str());
  return 0;
}

int Check(const std::string& store) {
  const server::CheckResult result = server::CheckStore(store);
  for (const std::string& path : result.written) std::printf("wrote %s (missing)\n", path.c_str());
  for (const std::string& line : result.damaged) std::printf("damaged: %s\n", line.c_str());
  if (!result.damaged.empty()) {
    return Fail(std::to_string(result.damaged.size()) + " of " + std::to_string(result.checked) +
                " stored file(s) damaged; publish them again or restore the store from a copy");
  }
  std::printf("all %zu stored file(s) match\n", result.checked);
  return 0;
}

int Keygen(const std::string& dir) {
  const trust::PublicKey key = server::WriteNewKeyPair(dir);
  std::printf("key id %s\n", trust::KeyIdText(key.id).c_str());
  std::printf("wrote %s/%s and %s/%s (secret: keep it off the serving machines)\n", dir.c_str(),
              server::kPublicKeyFileName, dir.c_str(), server::kSecretKeyFileName);
  std::printf("for the players' Config.ini, section [Update]:\nPublicKey=%s\n",
              trust::FormatPublicKey(key).c_str());
  return 0;
}

std::atomic<server::UpdateServer*> running{nullptr};

void OnStopSignal(int) {
  if (server::UpdateServer* s = running.load()) s->Stop();
}

/// Lets the process hold as many sessions as the system allows it.
void RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

template <typename Int>
bool ParseInt(std::string_view text, Int& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

/// "ADDR:PORT", such as 0.0.0.0:43000.
bool ParseEndpoint(std::string_view text, session::Ipv4Address& address, std::uint16_t& port) {
  const std::size_t colon = text.rfind(':');
  unsigned number = 0;
  if (colon == std::string_view::npos || !session::ParseIpv4(text.substr(0, colon), address) ||
      !ParseInt(text.substr(colon + 1), number) || number > 65535) {
    return false;
  }
  port = static_cast<std::uint16_t>(number);
  return true;
}

/// Seconds, fractions allowed, within [LEAST, MOST] (above 0 when LEAST is
/// 0), rounded up to whole milliseconds.
bool ParseSeconds(const std::string& text, double least, double most, std::chrono::milliseconds& value) {
  char* end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0' || !(seconds >= least && seconds > 0) || seconds > most)
    return false;
  value = std::chrono::milliseconds(static_cast<long long>(std::ceil(seconds * 1000)));
  return true;
}

int Serve(const std::string& store, const std::vector<std::string>& args) {
  server::ServerOptions options;
  options.store = store;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (i + 1 >= args.size()) return UsageError(option + " needs a value");
    const std::string& value = args[++i];
    if (option == "--listen") {
      if (!ParseEndpoint(value, options.listenAddress, options.port)) {
        return UsageError("--listen wants ADDR:PORT, for example 0.0.0.0:" +
                          std::to_string(session::kDefaultPort));
      }
    } else if (option == "--redirect") {
      const std::size_t colon = value.find(':');
      session::Ipv4Address address = 0;
      unsigned weight = 1;
      if (!session::ParseIpv4(std::string_view(value).substr(0, colon), address) || address == 0 ||
          (colon != std::string::npos &&
           (!ParseInt(std::string_view(value).substr(colon + 1), weight) || weight == 0 || weight > 1000))) {
        return UsageError(
            "--redirect wants an IPv4 address and an optional weight from 1 to 1000, such as 10.0.0.2 or "
            "10.0.0.2:3");
      }
      options.redirects.push_back({address, weight});
    } else if (option == "--check-interval") {
      if (!ParseSeconds(value, 0.05, 3600, options.checkInterval)) {
        return UsageError("--check-interval wants seconds, from 0.05 to 3600");
      }
    } else if (option == "--metrics") {
      if (!ParseEndpoint(value, options.metricsAddress, options.metricsPort)) {
        return UsageError("--metrics wants ADDR:PORT, for example 127.0.0.1:9431");
      }
      options.metrics = true;
    } else if (option == "--timeout") {
      if (!ParseSeconds(value, 0, 86400, options.timeout))
        return UsageError("--timeout wants seconds, more than 0");
    } else if (option == "--max-sessions") {
      if (!ParseInt(value, options.maxSessions) || options.maxSessions == 0) {
        return UsageError("--max-sessions wants a positive number");
      }
    } else if (option == "--max-per-address") {
      if (!ParseInt(value, options.maxPerAddress)) {
        return UsageError("--max-per-address wants a number (0: no cap)");
      }
    } else if (option == "--rate" || option == "--max-rate") {
      std::uint64_t& rate = option == "--rate" ? options.rate : options.maxRate;
      if (!ParseInt(value, rate) || rate == 0)
        return UsageError(option + " wants bytes per second, more than 0");
    } else {
      return UsageError("unknown option " + option);
    }
  }
  RaiseDescriptorLimit();
  try {
    server::UpdateServer instance(options);
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    running = &instance;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    instance.Run();
    running = nullptr;
    return 0;
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return UsageError("no command");
  const std::string& command = args[0];
  // What publish and notice write must be readable by the server, which may
  // run as another user (the service does): a private umask of the operator
  // would leave a store the server silently cannot read. The secret key is
  // created with its own mode, 0600, all the same.
  ::umask(022);
  if (command == "--help" || command == "-h") {
    std::printf(kUsage, server::kPublicKeyFileName, server::kSecretKeyFileName,
                unsigned{session::kDefaultPort}, unsigned{session::kRedirectPort});
    return 0;
  }
  if (command == "publish") {
    if (args.size() < 4) return UsageError("publish wants STORE major|minor DIR");
    return Publish(args[1], args[2], args[3], std::vector<std::string>(args.begin() + 4, args.end()));
  }
  if (command == "notice") {
    if (args.size() != 3) return UsageError("notice wants STORE FILE (or --clear)");
    return OnStore([&] { return Notice(args[1], args[2]); });
  }
  if (command == "show") {
    if (args.size() != 2) return UsageError("show wants STORE");
    return OnStore([&] { return Show(args[1]); });
  }
  if (command == "prune") {
    if (args.size() == 2) return OnStore([&] { return Prune(args[1], false); });
    if (args.size() == 3 && args[2] == "--dry-run") return OnStore([&] { return Prune(args[1], true); });
    return UsageError("prune wants STORE [--dry-run]");
  }
  if (command == "check") {
    if (args.size() != 2) return UsageError("check wants STORE");
    return OnStore([&] { return Check(args[1]); });
  }
  if (command == "keygen") {
    if (args.size() != 2) return UsageError("keygen wants DIR");
    return OnStore([&] { return Keygen(args[1]); });
  }
  if (command == "serve") {
    if (args.size() < 2) return UsageError("serve wants STORE");
    return Serve(args[1], std::vector<std::string>(args.begin() + 2, args.end()));
  }
  return UsageError("unknown command " + command);
}
