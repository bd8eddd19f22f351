// Any read of the loader's output through the chunk scan.
//
// Holds for every input: what the log shows came from the chunk, in order, and nothing from past the
// first closing or "Failed" line (LF stored as CR LF aside); each flag rests on its marker being in what
// was scanned; the scan ends at the first such line, so at most one of the two verdicts is given.
#include "fuzz/FuzzCheck.h"
#include "links/LoaderRunner.h"

#include <string>

namespace {

// The log with its stored line ends turned back into the LF that was appended.
std::string UndoLineEnds(const std::string& log) {
    std::string out;
    for (size_t i = 0; i < log.size(); ++i) {
        if (log[i] == '\r' && i + 1 < log.size() && log[i + 1] == '\n')
            continue;
        out += log[i];
    }
    return out;
}

bool IsSubsequence(std::string_view part, std::string_view whole) {
    size_t j = 0;
    for (char c : whole)
        if (j < part.size() && part[j] == c)
            ++j;
    return j == part.size();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // As the runner hands it over: one read with a line feed appended.
    std::string chunk(reinterpret_cast<const char*>(data), size);
    chunk += '\n';
    CLogConsole log;
    SLoaderChunkResult result = ScanLoaderChunk(chunk, log);

    // The text up to and including the first line that ends the scan.
    std::string_view scanned = chunk;
    for (size_t pos = 0; pos < chunk.size();) {
        size_t end = chunk.find('\n', pos);
        std::string_view line(chunk.data() + pos, end - pos);
        if (line.find("run minicom or kermit") != std::string_view::npos ||
            line.find("Failed") != line.npos) {
            scanned = std::string_view(chunk).substr(0, end + 1);
            break;
        }
        pos = end + 1;
    }

    // A shown line without a line feed of its own ("[" lines) gets one only from the log's CR LF rule, so
    // the log's bytes are a subsequence of what was scanned.
    FUZZ_CHECK(IsSubsequence(UndoLineEnds(log.m_strLog), scanned));
    FUZZ_CHECK(log.m_strLog.find('\0') == std::string::npos);
    if (result.m_bFinished)
        FUZZ_CHECK(chunk.find("run minicom or kermit") != std::string::npos);
    if (result.m_bFailed)
        FUZZ_CHECK(chunk.find("Failed") != std::string::npos);
    if (result.m_bEnterRequested)
        FUZZ_CHECK(scanned.find("Press") != std::string_view::npos);
    FUZZ_CHECK(!(result.m_bFinished && result.m_bFailed));
    return 0;
}
