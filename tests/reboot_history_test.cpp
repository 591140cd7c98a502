#include "reboot_history.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <string_view>

#include "chunk_reader.hpp"
#include "history_output.hpp"
#include "stream_capture.hpp"
#include "uptime_field.hpp"

namespace {

using namespace std::string_literals;

struct ScanCase {
    const char* name;
    std::string history;
    bool verbose;
    std::string out;
    std::string err;
};

const std::string summary = "* Mean time between reboots:\t\t";
constexpr EpochMinutes test_now = 29945520;  // 2026-12-08 12:00 UTC
const std::string last_line =
    "reboot   system boot  6.1.0-18-amd64   Mon Dec  1 10:00 - Tue Dec  2 12:00 ";
const std::string long_line_start(300, 'x');
const std::string field_split_by_length = "(" + std::string(254, 'y');

const ScanCase scan_cases[] = {
    {"no durations at all", "reboot still running\n\nwtmp begins Mon Jan  6 2025\n", false, "", ""},
    {"no durations, verbose: not even the blank line", "wtmp begins\n", true, "", ""},
    {"empty history", "", true, "", ""},
    {"mean of a day and nothing", last_line + "(1+00:00)\n" + last_line + " (00:00)\n", false,
     summary + "720 minutes (0+12:0)\n", ""},
    {"mean is truncated, and 1 minutes stays plural", "(00:01)\n(00:02)\n", false,
     summary + "1 minutes (0+0:1)\n", ""},
    {"breakdown without leading zeros", "(2+03:04)\n", false, summary + "3064 minutes (2+3:4)\n",
     ""},
    {"verbose listing, blank line, summary", "(01:05)\n(1+00:07)\n", true,
     "0+1:5\n1+0:7\n\n" + summary + "756 minutes (0+12:36)\n", ""},
    {"unreadable duration: error line and its empty line, not counted", "(abc)\n(1:00)\n", false,
     summary + "60 minutes (0+1:0)\n", "Error reading from (abc)\n\n"},
    {"unreadable durations only: no summary", "(abc)\n", true, "", "Error reading from (abc)\n\n"},
    {"a long line gives its duration from the chunk holding its end", long_line_start + " (1:00)\n",
     true, "0+1:0\n\n" + summary + "60 minutes (0+1:0)\n", ""},
    {"a parenthesis in an earlier chunk of a long line is judged alone",
     field_split_by_length + " (2:00)\n", false, summary + "120 minutes (0+2:0)\n",
     "Error reading from " + field_split_by_length + "\n"},
    {"last chunk without a line feed", "(1:00)\n(3:00)", true,
     "0+1:0\n0+3:0\n\n" + summary + "120 minutes (0+2:0)\n", ""},
    {"a NUL byte ends what the parser sees", "(1:00\0+junk)\n"s, false,
     summary + "60 minutes (0+1:0)\n", ""},
    {"a clock that went back is no boot: unreadable, and not counted",
     "(-00:01)\n(-1:30)\n(3:00)\n(-1+01:00)\n(0+-1:30)\n", true,
     "0+3:0\n\n" + summary + "180 minutes (0+3:0)\n",
     "Error reading from (-00:01)\n\nError reading from (-1:30)\n\n"
     "Error reading from (-1+01:00)\n\nError reading from (0+-1:30)\n\n"},
    {"a boot of zero minutes counts, whatever its sign", "(-00:00)\n(00:00)\n(0+02:00)\n", true,
     "0+0:0\n0+0:0\n0+2:0\n\n" + summary + "40 minutes (0+0:40)\n", ""},
    {"signs inside a positive duration print as read", "(1++2:3)\n(1+-0:5)\n(1+-2:3)\n", true,
     "1+2:3\n1+0:5\n1+-2:3\n\n" + summary + "1443 minutes (1+0:3)\n", ""},
    {"a century still counts", "(36525+00:00)\n(36525+00:00)\n", true,
     "36525+0:0\n36525+0:0\n\n" + summary + "52596000 minutes (36525+0:0)\n", ""},
    {"past a century is unreadable, and not counted", "(213503982+06:31)\n(1:00)\n(36525+00:01)\n",
     true, "0+1:0\n\n" + summary + "60 minutes (0+1:0)\n",
     "Error reading from (213503982+06:31)\n\nError reading from (36525+00:01)\n\n"},
    {"an out-of-range number is unreadable", "(4294967296:00)\n(1:00)\n", false,
     summary + "60 minutes (0+1:0)\n", "Error reading from (4294967296:00)\n\n"},
};

TEST(ScanHistoryStream, WritesListingErrorsAndSummary) {
    for (const ScanCase& c : scan_cases) {
        SCOPED_TRACE(c.name);
        std::FILE* history = stream_of(c.history);
        CapturedStream out;
        CapturedStream err;
        const RunOptions options{.verbose = c.verbose};
        const HistoryScan scan =
            scan_history_stream(fileno(history), out.stream, err.stream, options, test_now);
        report_mean_uptime(out.stream, scan.totals, options);
        std::fclose(history);
        EXPECT_EQ(out.text(), c.out);
        EXPECT_EQ(err.text(), c.err);
    }
}

// The same node through each `last`: boot Jan 1 2025 08:00, shutdown Jan 11
// 08:00; boots Jan 11 and 12 08:05 crashed; boot Jan 13 08:05, shutdown
// Jan 23 08:00; boot Jan 23 08:05 crashed; boot Jan 24 10:00 still running.
const std::string node_prefix = "reboot   system boot  6.1.0-15-amd64   ";
const std::string node_trailer = "\nwtmp begins Wed Jan  1 08:00:00 2025\n";
const std::string node_lines[][6] = {
    // util-linux 2.38 runs a crash on to the next shutdown, or leaves it running.
    {"Fri Jan 24 10:00   still running", "Thu Jan 23 08:05   still running",
     "Mon Jan 13 08:05 - 08:00 (9+23:55)", "Sun Jan 12 08:05 - 08:00 (10+23:55)",
     "Sat Jan 11 08:05 - 08:00 (11+23:55)", "Wed Jan  1 08:00 - 08:00 (10+00:00)"},
    // util-linux 2.40 and later
    {"Fri Jan 24 10:00   still running", "Thu Jan 23 08:05   still running",
     "Mon Jan 13 08:05 - 08:00 (9+23:55)", "Sun Jan 12 08:05 - crash (1+00:00)",
     "Sat Jan 11 08:05 - crash (1+00:00)", "Wed Jan  1 08:00 - 08:00 (10+00:00)"},
    // wtmpdb
    {"Fri Jan 24 10:00 - still running", "Thu Jan 23 08:05 - crash ",
     "Mon Jan 13 08:05 - 08:00 (9+23:55)", "Sun Jan 12 08:05 - crash ", "Sat Jan 11 08:05 - crash ",
     "Wed Jan  1 08:00 - 08:00 (10+00:00)"},
};

std::string node_history(const std::string (&lines)[6]) {
    std::string history;
    for (const std::string& line : lines) {
        history += node_prefix + line + "\n";
    }
    return history + node_trailer;
}

struct Scanned {
    std::string out;
    std::string err;
    UptimeTotals totals;
};

Scanned scan_text(const std::string& history, EpochMinutes now = test_now) {
    std::FILE* stream = stream_of(history);
    CapturedStream out;
    CapturedStream err;
    const RunOptions options{.verbose = true};
    const HistoryScan scan =
        scan_history_stream(fileno(stream), out.stream, err.stream, options, now);
    report_mean_uptime(out.stream, scan.totals, options);
    std::fclose(stream);
    return {out.text(), err.text(), scan.totals};
}

TEST(ScanHistoryStream, ACrashedBootEndsWhereTheNextBootStartsOnEveryLast) {
    for (const auto& lines : node_lines) {
        SCOPED_TRACE(lines[1]);
        const Scanned scanned = scan_text(node_history(lines));
        EXPECT_EQ(scanned.out, "1+1:55\n9+23:55\n1+0:0\n1+0:0\n10+0:0\n\n" + summary +
                                   "6646 minutes (4+14:46)\n");
        EXPECT_EQ(scanned.totals.crashed_to_next_boot, 3U);
        EXPECT_EQ(scanned.totals.crashed, 0U);
        EXPECT_EQ(scanned.err, "");
    }
}

TEST(ScanHistoryStream, WithoutAPlacedBootAboveALineIsTakenAsWritten) {
    const struct {
        const char* name;
        std::string history;
        EpochMinutes now;
        std::string out;
        std::uint64_t counted_to_next, crashed;
    } cases[] = {
        {"a crash with no boot above: noted, not counted",
         node_prefix + "Thu Jan 23 08:05 - crash \n" + node_prefix +
             "Mon Jan 13 08:05 - 08:00 (9+23:55)\n",
         test_now, "9+23:55\n\n" + summary + "14395 minutes (9+23:55)\n", 0, 1},
        {"a line between two boots leaves the lower one alone",
         node_prefix + "Sun Jan 12 08:05 - 08:00 (00:10)\nx\n" + node_prefix +
             "Sat Jan 11 08:05 - 08:00 (11+23:55)\n",
         test_now, "0+0:10\n11+23:55\n\n" + summary + "8642 minutes (6+0:2)\n", 0, 0},
        {"a boot line cut into chunks is no boot line",
         node_prefix + "Sun Jan 12 08:05 - 08:00 (00:10)\n" + node_prefix + std::string(240, ' ') +
             "Sat Jan 11 08:05 - 08:00 (11+23:55)\n",
         test_now, "0+0:10\n11+23:55\n\n" + summary + "8642 minutes (6+0:2)\n", 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Scanned scanned = scan_text(c.history, c.now);
        EXPECT_EQ(scanned.out, c.out);
        EXPECT_EQ(scanned.totals.crashed_to_next_boot, c.counted_to_next);
        EXPECT_EQ(scanned.totals.crashed, c.crashed);
    }
}

// Lines whose records are known, each read once wrongly: a crash with an
// end shown before it, an unreadable crash length below a placed boot, a
// negative one after a clock set back two years (util-linux 2.41), and a
// clean boot a minute short of the gap under sysvinit 3.x.
TEST(ScanHistoryStream, EachLineAsItsRecordsSay) {
    const std::string boot = "reboot   system boot  6.1.0-13-amd64   ";
    const struct {
        const char* name;
        std::string history;
        std::string out;
        std::string err;
        std::uint64_t counted_to_next, crashed;
    } cases[] = {
        {"an end shown, then a crash: said", boot + "Mon Dec  1 10:00 - 12:03  - crash\n", "",
         "", 0, 1},
        {"an end shown, then a crash: counted to the next boot",
         boot + "Tue Dec  2 09:00 - 10:00  (01:00)\n" + boot +
             "Mon Dec  1 10:00 - 12:03  - crash\n",
         "0+1:0\n0+23:0\n\n" + summary + "720 minutes (0+12:0)\n", "", 1, 0},
        {"an unreadable crash length below a placed boot",
         boot + "Mon Dec  1 10:00 - 12:00  (02:00)\n" + boot +
             "Sun Nov 30 09:00 - crash (-1:55)\n",
         "0+2:0\n\n" + summary + "120 minutes (0+2:0)\n", "Error reading from (-1:55)\n\n", 0,
         0},
        {"a crash length below zero makes up no years",
         boot + "Sun Mar 10 07:00   still running\n" + boot +
             "Tue Mar 10 10:55 - crash (-730+03:55)\n" + boot +
             "Mon Mar  9 08:00 - 10:00  (02:00)\n",
         "0+2:0\n\n" + summary + "120 minutes (0+2:0)\n",
         "Error reading from (-730+03:55)\n\n", 0, 0},
        {"sysvinit 3.x: a minute short of the gap below (00:01) is a clean boot",
         boot + "Fri Jul 28 08:52 - 08:52  (00:01)\n" + boot +
             "Thu Jul 27 08:01 - 08:01 (1+00:50)\n",
         "0+0:1\n1+0:50\n\n" + summary + "745 minutes (0+12:25)\n", "", 0, 0},
        {"sysvinit 3.x: a minute short of the gap below (00:00) is a run-on crash",
         boot + "Fri Jul 28 08:52 - 08:52  (00:00)\n" + boot +
             "Thu Jul 27 08:01 - 08:01 (1+00:50)\n",
         "0+0:0\n1+0:51\n\n" + summary + "745 minutes (0+12:25)\n", "", 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Scanned scanned = scan_text(c.history);
        EXPECT_EQ(scanned.out, c.out);
        EXPECT_EQ(scanned.err, c.err);
        EXPECT_EQ(scanned.totals.crashed_to_next_boot, c.counted_to_next);
        EXPECT_EQ(scanned.totals.crashed, c.crashed);
    }
}

TEST(ScanHistoryStream, CountsCrashedBootsThatHaveNoDuration) {
    const std::string crash = "reboot   system boot  6.12.48+deb13-amd64 Mon Dec  1 10:00 - crash";
    const std::string history = "x\n" + crash + "\nx\n" + crash + "  \t\nx\n" + crash +
                                " (0+05:00)\n"  // a crash with its length counts as a boot
                                + "reboot   system boot  6.1.0 Mon Dec  1 10:00 - crashed\n" +
                                "- crash (x\n" + "reboot   still running\n" + crash;
    std::FILE* stream = stream_of(history);
    CapturedStream out;
    CapturedStream err;
    const HistoryScan scan =
        scan_history_stream(fileno(stream), out.stream, err.stream, {}, test_now);
    std::fclose(stream);
    EXPECT_EQ(scan.totals.crashed, 3U);
    EXPECT_EQ(scan.totals.count, 1U);
    EXPECT_EQ(err.text(), "Error reading from (x\n\n");
}

TEST(ReportMeanUptime, DividesTotalsBeyondSixtyFourBits) {
    // 2^64 centuries of boots: the total needs 90 bits, and the mean is still
    // exact. No test can feed that many lines, so the totals are set directly.
    constexpr std::uint64_t century = 36525ULL * 1440;
    UptimeTotals totals;
    totals.count = ~std::uint64_t{0};
    totals.total = total_of(century, totals.count);
    CapturedStream out;
    report_mean_uptime(out.stream, totals, {});
    EXPECT_EQ(out.text(), summary + "52596000 minutes (36525+0:0)\n");
}

TEST(TotalMinutes, CarriesAndDividesAcrossTheTwoWords) {
    constexpr std::uint64_t all_ones = ~std::uint64_t{0};
    TotalMinutes total{.low = all_ones};
    add_minutes(total, 2);
    EXPECT_TRUE((total == TotalMinutes{.low = 1, .high = 1}));
    // Divisors with the top bit set double the remainder past 64 bits.
    constexpr std::uint64_t largest_sample = (std::uint64_t{1} << 26) - 1;
    for (const std::uint64_t count : {std::uint64_t{1}, std::uint64_t{3}, all_ones, all_ones / 2 + 7}) {
        for (const std::uint64_t minutes : {std::uint64_t{0}, std::uint64_t{59}, largest_sample}) {
            TotalMinutes sum = total_of(minutes, count);
            EXPECT_EQ(divide_total(sum, count), minutes) << minutes << " x " << count;
            add_minutes(sum, count - 1);  // a remainder just short of one more
            EXPECT_EQ(divide_total(sum, count), minutes) << minutes << " x " << count << " + rest";
        }
    }
}

TEST(ScanHistoryStream, AFailedReadIsKeptForTheCaller) {
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    close(pipe_ends[0]);
    CapturedStream out;
    CapturedStream err;
    // Reading the write end of a pipe fails with EBADF.
    const HistoryScan scan =
        scan_history_stream(pipe_ends[1], out.stream, err.stream, {}, test_now);
    close(pipe_ends[1]);
    EXPECT_EQ(scan.read_error, EBADF);
    EXPECT_EQ(scan.totals.count, 0U);
}

}  // namespace

namespace {

// The scan the plain way: every chunk cut by next_chunk(), with no fast lane.
std::string general_scan(std::string_view history, bool verbose, std::string& err_text,
                         UptimeTotals& totals) {
    std::FILE* stream = stream_of(history);
    auto reader = std::make_unique<ChunkReader>();
    reader->descriptor = fileno(stream);
    CapturedStream out;
    CapturedStream err;
    BootOrder order;
    order.now = test_now;
    Chunk chunk;
    while (next_chunk(*reader, chunk)) {
        scan_chunk(chunk.text, chunk.bytes.ends_with('\n'), order, totals, out.stream, err.stream,
                   {.verbose = verbose});
    }
    std::fclose(stream);
    err_text = err.text();
    return out.text();
}

// Lines of every kind the fast lane must take or leave alone: the written
// shapes, shapes it must not take (no line feed, signs, spaces, past a
// century), no duration, NUL bytes, and lines longer than a chunk.
std::string mixed_line(std::mt19937& random) {
    static const std::string lines[] = {
        "reboot   system boot  6.1.0-18-amd64   Mon Dec  1 10:00 - 12:00 (1+02:03)\n",
        "reboot   system boot  6.1.0-18-amd64   Mon Dec  1 10:00 - 12:00  (00:05)\n",
        "reboot   system boot  6.1.0-18-amd64   Sun Nov 30 10:00 - 12:00 (1+02:03)\n",
        "reboot   system boot  6.1.0-18-amd64   Sat Jan 11 08:05   still running\n",
        "reboot   system boot  6.1.0-18-amd64   Sun Jan 12 08:05 - crash (1+00:00)\n",
        std::string(200, 'v') +
            "reboot   system boot  6.1.0-18-amd64   Sun Nov 30 10:00 - 12:00 (00:05)\n",
        "(123456789+23:59)\n",
        "(36525+00:00)\n",
        "(36525+00:01)\n",
        "(0000000001+00:00)\n",
        "+00:00)\n",
        "(1+02:03) \n",
        "( 1+02:03)\n",
        "(-1+02:03)\n",
        "(1+2:03)\n",
        "x(12:34)\n",
        "(12:34)(12:34)\n",
        "(1:75)\n",
        "(abc)\n",
        "reboot still running\n",
        "reboot   system boot  6.12.48+deb13-amd64 Mon Dec  1 10:00 - crash\n",
        std::string("(1:00\0+junk)\n", 13),
        std::string("(\0(1+00:00)\n", 12),
        "\n",
        std::string(300, 'y') + " (2:00)\n",
        std::string(254, 'z') + "\n",
        std::string(255, 'w') + "(1:00)\n"};
    std::uniform_int_distribution<std::size_t> pick(0, std::size(lines) - 1);
    return lines[pick(random)];
}

TEST(ScanHistoryStream, FastLaneAgreesWithTheGeneralWayAtEveryOffsetOfABlock) {
    std::mt19937 random(20261208);
    for (std::size_t pad = 0; pad < 2 * bytes_per_mask + 2; ++pad) {
        // The padding shifts every later line by one byte, so that over the
        // pads each line meets each offset of a mask word and of the block's end.
        std::string history(pad, 'p');
        history += '\n';
        while (history.size() < read_block_size + 4096) {
            history += mixed_line(random);
        }
        if (pad % 2 == 1) {
            history.pop_back();  // and a last line without its line feed
        }
        for (const bool verbose : {false, true}) {
            SCOPED_TRACE(testing::Message() << "pad " << pad << (verbose ? ", verbose" : ""));
            std::FILE* stream = stream_of(history);
            CapturedStream out;
            CapturedStream err;
            const HistoryScan scan = scan_history_stream(fileno(stream), out.stream, err.stream,
                                                         {.verbose = verbose}, test_now);
            std::fclose(stream);
            std::string expected_err;
            UptimeTotals expected;
            const std::string expected_out = general_scan(history, verbose, expected_err, expected);
            ASSERT_EQ(scan.totals.count, expected.count);
            ASSERT_TRUE(scan.totals.total == expected.total);
            ASSERT_EQ(out.text(), expected_out);
            ASSERT_EQ(err.text(), expected_err);
        }
    }
}

}  // namespace
