// The JSON report. Keys keep the order in which docs/report.md lists them.
#include "app/report.h"

#include <nlohmann/json.hpp>

#include "app/inventory.h"
#include "app/utc_time.h"

namespace qv {

namespace {

using Json = nlohmann::ordered_json;

Json nullable(bool present, Json value) { return present ? value : Json(nullptr); }

// Text from the platform that may not be UTF-8 (an ANSI device path): bytes
// outside ASCII are replaced, so the report always parses.
std::string asciiOnly(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    out.push_back(u >= 0x20 && u < 0x7F ? c : '?');
  }
  return out;
}

Json cameraJson(const CameraRecord& r) {
  Json camera;
  camera["index"] = r.index;
  camera["path"] = nullable(!r.path.empty(), asciiOnly(r.path));
  camera["camera_id"] = nullable(!r.cameraId.empty(), asciiOnly(r.cameraId));
  // A field the lookup could not read from the hardware ID is null, never
  // "FFFF".
  auto usbField = [](std::uint16_t value) {
    return nullable(value != kUnreadableUsbField, Hex4Text(value));
  };
  camera["usb"] = nullable(r.identityFound, Json{{"vendor", usbField(r.vendor)},
                                                 {"product", usbField(r.product)},
                                                 {"revision", usbField(r.revision)}});
  camera["target"] = r.target;
  camera["chip_family"] = nullable(r.opened, r.family);
  Json flash = nullptr;
  if (r.flashAsked) {
    const std::uint8_t type = r.flash.flashType;
    const std::string_view part = FlashPartName(type);
    Json id = Json::array();
    for (const std::uint8_t b : r.flash.reply) id.push_back(HexByte(b));
    flash = Json{{"part", nullable(!part.empty(), std::string(part))},
                 {"flash_type", type},
                 {"id_command", HexByte(r.flash.command)},
                 {"id_bytes", id},
                 {"size", nullable(FlashPartSize(type) != 0, FlashPartSize(type))},
                 {"identification_failed", r.identificationLost}};
  }
  camera["flash"] = flash;
  camera["state_before"] =
      nullable(r.stateBefore.has_value(), r.stateBefore ? FirmwareStateName(*r.stateBefore) : "");
  camera["action"] = CameraActionName(r.action);
  camera["result"] = nullable(r.passed.has_value(), r.passed.value_or(false) ? "pass" : "fail");
  // The engine's state ends in "done" whatever happened: what the chip got
  // as far as is said by the fields themselves.
  camera["download_mode_entered"] = nullable(r.updateRan, r.enteredDownloadMode);
  camera["checksum"] = nullable(
      r.updateRan, Json{{"computed", HexByte(r.computedChecksum)},
                        {"device", nullable(r.deviceChecksumRead, HexByte(r.deviceChecksum))}});
  camera["final_state"] = nullable(r.enteredDownloadMode, r.finalState);
  Json verify = "not run";
  if (r.verify == VerifyResult::Passed) verify = "pass";
  if (r.verify == VerifyResult::Failed) verify = "fail";
  camera["verify"] = verify;
  camera["came_back"] = nullable(r.cameBack.has_value(), r.cameBack.value_or(false));
  camera["verify_difference"] =
      nullable(r.verify == VerifyResult::Failed && r.verifyDifference.count != 0,
               Json{{"first_address",
                     "0x" + Hex4Text(static_cast<std::uint16_t>(r.verifyDifference.firstAddress))},
                    {"differing_bytes", r.verifyDifference.count}});
  camera["sectors_written"] = nullable(r.sectorsWritten.has_value(), r.sectorsWritten.value_or(0));
  camera["duration_ms"] = r.durationMs;
  camera["time"] = nullable(!r.time.empty(), r.time);
  // The flash's digests before and after, per span; a span nothing was
  // read over is null.
  const auto digests = [](std::uint32_t span, const std::string& sha) {
    return nullable(span != 0 && !sha.empty(), Json{{"bytes", span}, {"sha256", sha}});
  };
  camera["flash_before"] = Json{{"image_span", digests(r.imageSpan, r.sha256BeforeImage)},
                                {"backup_span", digests(r.backupSpan, r.sha256BeforeBackup)}};
  camera["flash_after"] = Json{{"image_span", digests(r.imageSpan, r.sha256AfterImage)},
                               {"backup_span", digests(r.backupSpan, r.sha256AfterBackup)}};
  camera["backup"] = nullable(!r.backupPath.empty(), r.backupPath);
  camera["changed"] = r.changed;
  camera["reason_code"] = nullable(!r.reasonCode.empty(), r.reasonCode);
  camera["reason"] = nullable(!r.reason.empty(), asciiOnly(r.reason));
  return camera;
}

}  // namespace

std::string ReportJson(const RunReport& report, std::span<const FirmwareSummary> firmware,
                       std::string_view version) {
  Json root;
  root["schema_version"] = kReportSchemaVersion;
  root["tool"] = Json{{"name", "qvflash"}, {"version", std::string(version)}};
  root["host"] = nullable(!report.host.empty(), asciiOnly(report.host));
  root["started"] = nullable(report.startedUtc != 0, UtcText(report.startedUtc));
  root["ended"] = nullable(report.endedUtc != 0, UtcText(report.endedUtc));
  Json images = Json::array();
  for (const FirmwareSummary& f : firmware) {
    images.push_back(Json{{"chip_family", f.family},
                          {"length", f.length},
                          {"checksum", HexByte(f.checksum)},
                          {"sha256", f.sha256}});
  }
  root["firmware"] = images;
  root["mode"] = report.mode;
  root["options"] =
      Json{{"if_needed", report.ifNeeded},
           {"all", report.all},
           {"verify", report.verify},
           {"dry_run", report.dryRun},
           {"dump_file", nullable(!report.dumpFile.empty(), report.dumpFile)},
           {"restore_file", nullable(!report.restoreFile.empty(), report.restoreFile)}};
  Json cameras = Json::array();
  for (const CameraRecord& r : report.cameras) cameras.push_back(cameraJson(r));
  root["cameras"] = cameras;
  root["result"] = report.exitCode == 0 ? "Pass" : "Fail";
  root["exit_code"] = report.exitCode;
  root["reason_code"] = nullable(!report.reasonCode.empty(), report.reasonCode);
  root["reason"] = nullable(!report.reason.empty(), asciiOnly(report.reason));
  return root.dump(2) + "\n";
}

}  // namespace qv
