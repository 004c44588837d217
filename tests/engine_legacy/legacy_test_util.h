#pragma once
// Runs the engine in-process on bytes made by the test encoders and reports
// what it left behind.

#include <string>

#include "engine_test_support.h"
#include "testdata/legacy_encoders.h"

namespace legacy_test {

struct Outcome {
  engine_test::EngineRun run;
  bool output_exists = false;
  bool input_kept = false;
  std::string output;  // contents of the output file, when it exists
};

inline std::string as_string(const legacy::Bytes& b) { return std::string(b.begin(), b.end()); }

/// Writes FILE into a fresh directory as NAME (whose suffix is removed for
/// the output name) and decompresses it.
inline Outcome decode_file(const legacy::Bytes& file, const std::string& name = "data.gz") {
  engine_test::TempDir dir;
  engine_test::write_file(name, as_string(file));
  Outcome o;
  o.run = engine_test::run_engine(name);
  const std::string output_name = name.substr(0, name.rfind('.'));
  for (const auto& entry : dir.entries()) {
    if (entry == output_name) o.output_exists = true;
    if (entry == name) o.input_kept = engine_test::read_file(name) == as_string(file);
  }
  if (o.output_exists) o.output = engine_test::read_file(output_name);
  return o;
}

/// True when the engine decoded FILE to exactly EXPECTED and removed the input.
inline testing::AssertionResult decodes_to(const legacy::Bytes& file, const legacy::Bytes& expected) {
  const Outcome o = decode_file(file);
  if (o.run.ended) return testing::AssertionFailure() << "engine ended: " << o.run.err;
  if (o.run.result != 0) return testing::AssertionFailure() << "result " << o.run.result << ": " << o.run.err;
  if (!o.output_exists) return testing::AssertionFailure() << "no output";
  if (o.input_kept) return testing::AssertionFailure() << "input not removed";
  if (o.output != as_string(expected)) {
    std::size_t at = 0;
    while (at < o.output.size() && at < expected.size() && o.output[at] == char(expected[at])) ++at;
    return testing::AssertionFailure() << "output differs at byte " << at << " (sizes " << o.output.size()
                                       << " and " << expected.size() << ")";
  }
  return testing::AssertionSuccess();
}

/// True when FILE ends the engine as corrupt data: status 1, TEXT on
/// standard error, no output left, input unchanged.
inline testing::AssertionResult fatal_with(const legacy::Bytes& file, const std::string& text) {
  const Outcome o = decode_file(file);
  if (!o.run.ended) return testing::AssertionFailure() << "engine returned " << o.run.result << ": " << o.run.err;
  if (o.run.status != 1) return testing::AssertionFailure() << "status " << o.run.status;
  if (o.run.err.find(text) == std::string::npos)
    return testing::AssertionFailure() << "message '" << o.run.err << "' lacks '" << text << "'";
  if (o.output_exists) return testing::AssertionFailure() << "output left behind";
  if (!o.input_kept) return testing::AssertionFailure() << "input not kept unchanged";
  return testing::AssertionSuccess();
}

inline legacy::Bytes concat(legacy::Bytes a, const legacy::Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline legacy::Bytes bytes_of(const std::string& s) { return legacy::Bytes(s.begin(), s.end()); }

}  // namespace legacy_test
