#include "console/check/CheckReports.h"

#include "console/form/QueueReport.h"
#include "mqtt/codec/MQTTPacket.h"
#include "mqtt/codec/MessageTypes.h"
#include "platform/CodePage.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <stdexcept>

namespace {

std::string Escape(std::string_view text, bool attribute = false)
{
    std::string out;
    for (char ch : text) {
        switch (ch) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += attribute ? "&quot;" : "\""; break;
        default:
            // Control characters are not allowed in XML 1.0.
            if (static_cast<unsigned char>(ch) < 0x20 && ch != '\n' && ch != '\t') out += "?";
            else out += ch;
        }
    }
    return out;
}

std::string Versions(uint8_t mask)
{
    std::string text;
    if (mask & V31) text += "3.1 ";
    if (mask & V311) text += "3.1.1 ";
    if (mask & V50) text += "5.0 ";
    if (!text.empty()) text.pop_back();
    return text;
}

std::string Join(const std::vector<const char*>& items)
{
    std::string text;
    for (const char* item : items) text += (text.empty() ? "" : " ") + std::string(item);
    return text;
}

std::string Seconds(int64_t ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", static_cast<double>(ms) / 1000.0);
    return text;
}

bool WriteFile(const std::string& path, const std::string& text, std::string& error)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out || !(out << text) || !out.flush()) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

std::vector<std::string> HexRows(const std::vector<uint8_t>& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::vector<std::string> rows;
    for (size_t at = 0; at < bytes.size(); at += 16) {
        char offset[32];
        std::snprintf(offset, sizeof offset, "%04zx  ", at);
        std::string hex = offset, ascii;
        for (size_t i = at; i < at + 16; ++i) {
            if (i < bytes.size()) {
                hex += digits[bytes[i] >> 4];
                hex += digits[bytes[i] & 15];
                hex += ' ';
                ascii += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
            } else {
                hex += "   ";
            }
        }
        rows.push_back(hex + " " + ascii);
    }
    return rows;
}

}  // namespace

std::string StatementsText(const TCheckResult& result)
{
    return Join(result.Check->Statements(result.Version));
}

std::vector<TFrameView> FrameViews(const TClientTrace& client)
{
    std::vector<TFrameView> views;
    int number = 0;
    for (const TSessionFrame& frame : client.Frames) {
        TFrameView view;
        const int type = frame.Bytes.empty() ? 0 : frame.Bytes[0] >> 4;
        const int64_t ms = (frame.MonotonicNs - client.StartNs) / 1000000;
        view.Header = "#" + std::to_string(++number) + "  +" + std::to_string(ms) + " ms  " +
                      (frame.Direction == TFrameDirection::Sent ? "sent    " : "received") + "  " +
                      MessageType::Name(type) + "  " + std::to_string(frame.Bytes.size()) + " bytes";
        try {
            if (!frame.Whole()) throw std::runtime_error("only the first " + std::to_string(frame.Bytes.size()) + " of " +
                                                         std::to_string(frame.Size) + " bytes were kept");
            TMQTTPacket packet(frame.Bytes.data(), static_cast<int32_t>(frame.Bytes.size()), client.Version);
            packet.AnalyzePacket();
            for (const std::string& line : QueueReportLines(packet)) view.Fields.push_back(CodePage::SystemToUTF8(line));
        } catch (const std::exception& e) {
            view.Fields.push_back(std::string("DecodeError     ") + e.what());
        }
        view.Hex = HexRows(frame.Bytes);
        views.push_back(std::move(view));
    }
    return views;
}

void WriteCatalogue(std::FILE* out)
{
    size_t counts[3] = {0, 0, 0};
    for (const TCheck& check : CheckCatalogue()) {
        std::fprintf(out, "%-36s %-13s %-15s %s\n", check.Id, std::string(FamilyName(check.Family)).c_str(),
                     Versions(check.Versions).c_str(), check.Expects);
        if (!check.Statements311.empty()) std::fprintf(out, "%52s3.1.1: %s\n", "", Join(check.Statements311).c_str());
        if (!check.Statements50.empty()) std::fprintf(out, "%52s5.0:   %s\n", "", Join(check.Statements50).c_str());
        for (int v = 0; v < 3; ++v) counts[v] += (check.Versions >> v) & 1;
    }
    std::fprintf(out, "%zu checks: %zu for MQTT 3.1, %zu for 3.1.1, %zu for 5.0\n", CheckCatalogue().size(), counts[0],
                 counts[1], counts[2]);
}

std::string ProgressLine(const TCheckResult& result, size_t done, size_t total)
{
    char head[48];
    std::snprintf(head, sizeof head, "[%3zu/%zu] %-5s %-5s ", done, total, std::string(VerdictWord(result.Verdict)).c_str(),
                  std::string(VersionWord(result.Version)).c_str());
    return head + std::string(result.Check->Id) + (result.Reason.empty() ? "" : ": " + result.Reason);
}

std::string CountsLine(const TCheckRun& run)
{
    return std::to_string(run.Results.size()) + " checks: " + std::to_string(run.Count(TVerdict::Pass)) + " PASS, " +
           std::to_string(run.Count(TVerdict::Fail)) + " FAIL, " + std::to_string(run.Count(TVerdict::Skip)) +
           " SKIP, " + std::to_string(run.Count(TVerdict::Error)) + " ERROR in " + Seconds(run.Ms) + " s" +
           (run.Cancelled ? " (cancelled)" : "");
}

void WriteTable(std::FILE* out, const TCheckRun& run)
{
    std::fprintf(out, "Broker %s\n", run.Broker.c_str());
    for (TProtocolVersion version : run.Versions) {
        std::fprintf(out, "\nMQTT %s\n%-13s %-36s %-36s %-5s %s\n", std::string(VersionWord(version)).c_str(), "family",
                     "check", "statements", "verdict", "reason");
        for (const TCheckResult& r : run.Results) {
            if (r.Version != version || r.Check == nullptr) continue;
            std::fprintf(out, "%-13s %-36s %-36s %-5s %s\n", std::string(FamilyName(r.Check->Family)).c_str(),
                         r.Check->Id, StatementsText(r).c_str(), std::string(VerdictWord(r.Verdict)).c_str(),
                         r.Reason.c_str());
        }
    }
    if (!run.Limits.empty()) std::fprintf(out, "\nLimits\n");
    for (const TLimitsReport& limits : run.Limits)
        for (const std::string& line : LimitLines(limits)) std::fprintf(out, "  %s\n", line.c_str());
    std::fprintf(out, "\n%s\n", CountsLine(run).c_str());
}

std::string JUnitText(const TCheckRun& run)
{
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    xml += "<testsuites name=\"tarnwick check " + Escape(run.Broker, true) + "\" tests=\"" +
           std::to_string(run.Results.size()) + "\" failures=\"" + std::to_string(run.Count(TVerdict::Fail)) +
           "\" errors=\"" + std::to_string(run.Count(TVerdict::Error)) + "\" skipped=\"" +
           std::to_string(run.Count(TVerdict::Skip)) + "\" time=\"" + Seconds(run.Ms) + "\">\n";
    for (TProtocolVersion version : run.Versions) {
        size_t tests = 0, failures = 0, errors = 0, skipped = 0;
        int64_t ms = 0;
        for (const TCheckResult& r : run.Results)
            if (r.Version == version && r.Check) {
                ++tests;
                failures += r.Verdict == TVerdict::Fail;
                errors += r.Verdict == TVerdict::Error;
                skipped += r.Verdict == TVerdict::Skip;
                ms += r.Ms;
            }
        xml += "  <testsuite name=\"MQTT " + std::string(VersionWord(version)) + "\" tests=\"" + std::to_string(tests) +
               "\" failures=\"" + std::to_string(failures) + "\" errors=\"" + std::to_string(errors) +
               "\" skipped=\"" + std::to_string(skipped) + "\" time=\"" + Seconds(ms) + "\">\n";
        xml += "    <properties>\n      <property name=\"broker\" value=\"" + Escape(run.Broker, true) + "\"/>\n";
        for (const TLimitsReport& limits : run.Limits)
            if (limits.Version == version)
                for (const std::string& line : LimitLines(limits))
                    xml += "      <property name=\"limits\" value=\"" + Escape(line, true) + "\"/>\n";
        xml += "    </properties>\n";
        for (const TCheckResult& r : run.Results) {
            if (r.Version != version || !r.Check) continue;
            xml += "    <testcase classname=\"mqtt" + std::string(VersionWord(version)) + "." +
                   std::string(FamilyName(r.Check->Family)) + "\" name=\"" + Escape(r.Check->Id, true) + "\" time=\"" +
                   Seconds(r.Ms) + "\">\n";
            const std::string message = Escape(r.Reason, true);
            if (r.Verdict == TVerdict::Fail) xml += "      <failure message=\"" + message + "\" type=\"FAIL\"/>\n";
            if (r.Verdict == TVerdict::Error) xml += "      <error message=\"" + message + "\" type=\"ERROR\"/>\n";
            if (r.Verdict == TVerdict::Skip) xml += "      <skipped message=\"" + message + "\"/>\n";
            xml += "      <system-out>" + Escape(StatementsText(r) + ": " + r.Check->Expects) + "</system-out>\n";
            xml += "    </testcase>\n";
        }
        xml += "  </testsuite>\n";
    }
    xml += "</testsuites>\n";
    return xml;
}

std::string HtmlText(const TCheckRun& run)
{
    std::string h = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Broker checks: " +
                    Escape(run.Broker) + "</title>\n<style>\n"
                    "body{font-family:sans-serif;margin:1.5em;color:#222}table{border-collapse:collapse;margin:.5em 0}"
                    "td,th{border:1px solid #ccc;padding:2px 6px;text-align:left;vertical-align:top;font-size:13px}"
                    ".PASS{background:#e3f6e3}.FAIL{background:#fbdada}.SKIP{background:#eeeeee}.ERROR{background:#fbecc8}"
                    "pre{margin:0;font-size:12px}.frame{margin:.4em 0 .8em 1em}.sent{color:#1f4f99}.received{color:#7a3b00}"
                    "h3{margin-top:1.5em}\n</style></head><body>\n";
    h += "<h1>Broker checks</h1>\n<p id=\"summary\">Broker " + Escape(run.Broker) + ": " + Escape(CountsLine(run)) +
         "</p>\n";
    if (!run.Limits.empty()) {
        h += "<h2>Limits</h2>\n<ul id=\"limits\">\n";
        for (const TLimitsReport& limits : run.Limits)
            for (const std::string& line : LimitLines(limits)) h += "<li>" + Escape(line) + "</li>\n";
        h += "</ul>\n";
    }
    h += "<h2>Checks</h2>\n<table id=\"results\"><tr><th>version</th><th>family</th><th>check</th><th>statements</th>"
         "<th>expects</th><th>verdict</th><th>reason</th></tr>\n";
    int failure = 0;
    std::map<const TCheckResult*, int> anchors;
    for (const TCheckResult& r : run.Results) {
        if (!r.Check) continue;
        const std::string verdict(VerdictWord(r.Verdict));
        std::string id = Escape(r.Check->Id);
        if (!r.Clients.empty()) {
            anchors[&r] = ++failure;
            id = "<a href=\"#f" + std::to_string(failure) + "\">" + id + "</a>";
        }
        h += "<tr class=\"" + verdict + "\"><td>" + std::string(VersionWord(r.Version)) + "</td><td>" +
             std::string(FamilyName(r.Check->Family)) + "</td><td>" + id + "</td><td>" + Escape(StatementsText(r)) +
             "</td><td>" + Escape(r.Check->Expects) + "</td><td>" + verdict + "</td><td>" + Escape(r.Reason) +
             "</td></tr>\n";
    }
    h += "</table>\n";
    if (failure > 0) h += "<h2>Frames of the failed checks</h2>\n";
    for (const TCheckResult& r : run.Results) {
        auto anchor = anchors.find(&r);
        if (anchor == anchors.end()) continue;
        h += "<h3 id=\"f" + std::to_string(anchor->second) + "\">" + std::string(VerdictWord(r.Verdict)) + " MQTT " +
             std::string(VersionWord(r.Version)) + " " + Escape(r.Check->Id) + "</h3>\n<p>" + Escape(r.Reason) + "</p>\n";
        for (const TClientTrace& client : r.Clients) {
            h += "<h4>client " + Escape(client.Name) + " (" + Escape(client.ClientID) + ")</h4>\n";
            for (const TFrameView& view : FrameViews(client)) {
                const bool sent = view.Header.find("sent") != std::string::npos;
                h += "<div class=\"frame " + std::string(sent ? "sent" : "received") + "\"><b>" + Escape(view.Header) +
                     "</b><pre>";
                for (const std::string& line : view.Fields) h += Escape(line) + "\n";
                h += "</pre><pre class=\"hex\">";
                for (const std::string& line : view.Hex) h += Escape(line) + "\n";
                h += "</pre></div>\n";
            }
        }
    }
    h += "</body></html>\n";
    return h;
}

bool WriteJUnit(const std::string& path, const TCheckRun& run, std::string& error)
{
    return WriteFile(path, JUnitText(run), error);
}

bool WriteHtml(const std::string& path, const TCheckRun& run, std::string& error)
{
    return WriteFile(path, HtmlText(run), error);
}
