#pragma once

#include "console/check/CheckRunner.h"

#include <cstdio>
#include <string>
#include <vector>

// The reports of a run: the terminal table, JUnit XML for CI systems, and
// one self-contained HTML page. Texts are UTF-8.

// One frame of a client as the frames view shows it: its header line, the
// fields the codec decodes, and its bytes as offset | hex | ASCII rows.
struct TFrameView {
    std::string Header;                  // "#3  +12 ms  received  SUBACK  5 bytes"
    std::vector<std::string> Fields;     // the codec's field lines (or the decode error)
    std::vector<std::string> Hex;        // "0000  90 03 00 01 01     ....."
};
std::vector<TFrameView> FrameViews(const TClientTrace& client);

// The catalogue as the terminal lists it (--list): id, family, versions,
// statements of 3.1.1 and 5.0, and what each check expects.
void WriteCatalogue(std::FILE* out);

// One line per check as it finishes: "[ 12/130] PASS  3.1.1 retain.clear".
std::string ProgressLine(const TCheckResult& result, size_t done, size_t total);
// The table of results (family, check, statements, verdict, reason), the
// limits found, and the counts.
void WriteTable(std::FILE* out, const TCheckRun& run);
std::string CountsLine(const TCheckRun& run);

bool WriteJUnit(const std::string& path, const TCheckRun& run, std::string& error);
bool WriteHtml(const std::string& path, const TCheckRun& run, std::string& error);
std::string JUnitText(const TCheckRun& run);
std::string HtmlText(const TCheckRun& run);

// "MQTT-3.3.1-5 MQTT-3.3.1-6"
std::string StatementsText(const TCheckResult& result);
