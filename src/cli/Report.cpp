#include "cli/Report.h"

#include "cli/Json.h"
#include "cli/ProgressView.h"
#include "cli/ResultName.h"
#include "platform/Text.h"

namespace {

void AddTextOrNull(JsonObject& object, std::string_view key, const std::string& text) {
    if (text.empty()) {
        object.AddNull(key);
    } else {
        object.Add(key, std::string_view(text));
    }
}

void AddBytesOrNull(JsonObject& object, std::string_view key, const std::vector<BYTE>& bytes) {
    std::string hex;
    for (BYTE b : bytes) hex += StrPrintf("%02X", b);
    AddTextOrNull(object, key, hex);
}

}  // namespace

std::string CliReportJson(const CliReport& report) {
    JsonObject object;
    object.Add("result", static_cast<std::int64_t>(report.dwResult))
        .Add("result_name", std::string_view(ResultName(report.dwResult)))
        .Add("exit_status", static_cast<std::int64_t>(report.nExitStatus));
    AddTextOrNull(object, "model", report.strModel);
    if (report.nTypeId > 0) {
        object.Add("type_id", static_cast<std::int64_t>(report.nTypeId));
    } else {
        object.AddNull("type_id");
    }
    AddTextOrNull(object, "kind", report.strKind);
    AddTextOrNull(object, "port", report.strPort);
    AddTextOrNull(object, "firmware_before", report.strFwBefore);
    AddTextOrNull(object, "firmware_after", report.strFwAfter);
    AddBytesOrNull(object, "rom_id_before", report.romIdBefore);
    AddBytesOrNull(object, "rom_id_after", report.romIdAfter);
    object.Add("sent", report.sent);
    if (report.bCheck) {
        JsonObject checksums;
        for (const auto& [kind, value] : report.checksums) checksums.Add(kind, std::string_view(value));
        object.Add("would_send", report.wouldSend).AddRaw("checksums", checksums.Text());
    }
    object.Add("retry_run", report.bRetryRun)
        .Add("duration_ms", static_cast<std::int64_t>(report.dwDurationMs))
        .Add("messages", report.messages)
        .Add("result_text", std::string_view(CliResultText(report)));
    return object.Text();
}

namespace {

std::string FirmwareText(const std::string& version, const std::vector<BYTE>& romId) {
    std::string rom;
    if (!romId.empty()) rom = StrPrintf("ROM %02X", romId[0]);
    if (version.empty()) return rom;
    return rom.empty() ? version : version + " (" + rom + ")";
}

}  // namespace

std::string CliSummary(const CliReport& report) {
    std::string text;
    if (!report.sentFiles.empty()) {
        text += "Sent:";
        for (std::size_t i = 0; i < report.sentFiles.size(); ++i) {
            const auto& [name, cb] = report.sentFiles[i];
            text += (i > 0 ? ", " : " ") + name + " (" + GroupedCount(cb) + " bytes)";
        }
        text += ".\n";
    }
    std::string before = FirmwareText(report.strFwBefore, report.romIdBefore);
    std::string after = FirmwareText(report.strFwAfter, report.romIdAfter);
    if (report.bCheck) {
        // Nothing was sent or restarted: what the printer runs now.
        if (!before.empty()) text += "Firmware: " + before + ".\n";
    } else if (!before.empty() || !after.empty()) {
        if (before == after) {
            text += "Firmware: " + before + ", unchanged.\n";
        } else {
            text += "Firmware before: " + (before.empty() ? std::string("not read") : before) +
                    "; after: " + (after.empty() ? std::string("not read") : after) + ".\n";
        }
    }
    return text;
}

std::string CliResultText(const CliReport& report) {
    return report.strResultText.empty() ? ResultSentence(report.dwResult) : report.strResultText;
}

std::string CliResultLine(const CliReport& report) {
    return StrPrintf("result %u (%s), exit status %d", report.dwResult, ResultName(report.dwResult).c_str(),
                     report.nExitStatus);
}
