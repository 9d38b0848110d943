// Helpers for the streaming salvage tests: running both engines on one input.
#pragma once

#include <optional>
#include <string>
#include <variant>

#include "salvage/salvage_file.hpp"
#include "stream/stream_salvage.hpp"
#include "test_support.hpp"

namespace brinewick::stream::test {

struct StreamRun {
    Result<StreamSummary> result;
    std::string clean;
    std::string quarantine;
    std::string changes;
};

inline StreamRun run_stream(const test_support::TempDir& dir, const std::string& input,
                            const SalvageOptions& options, std::size_t read_size = 1u << 16) {
    test_support::spit(dir.file("in.csv"), input);
    StreamPaths paths{dir.file("in.csv"), dir.file("out.csv"), dir.file("q.csv"), dir.file("c.csv")};
    StreamSettings settings;
    settings.options = options;
    settings.durable = false;
    settings.read_size = read_size;
    StreamControl control;
    StreamRun run{stream_salvage(paths, settings, control), {}, {}, {}};
    run.clean = test_support::slurp(paths.output);
    run.quarantine = test_support::slurp(*paths.quarantine);
    run.changes = test_support::slurp(*paths.changes);
    return run;
}

}  // namespace brinewick::stream::test
