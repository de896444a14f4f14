#include "sim/scene.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string_view>

namespace qv::sim {
namespace {

using nlohmann::json;

// A problem found in the scene; `where` names the key.
struct SceneError {
  std::string where;
  std::string problem;
};

std::string keyPath(const std::string& parent, std::string_view key) {
  return parent.empty() ? std::string(key) : parent + "." + std::string(key);
}

std::string indexPath(const std::string& parent, std::size_t index) {
  return parent + "[" + std::to_string(index) + "]";
}

void requireObject(const json& value, const std::string& where) {
  if (!value.is_object()) throw SceneError{where, "expected an object"};
}

void rejectUnknownKeys(const json& object, const std::string& where,
                       std::initializer_list<std::string_view> known) {
  for (auto it = object.begin(); it != object.end(); ++it) {
    bool found = false;
    for (std::string_view k : known) found = found || it.key() == k;
    if (!found) throw SceneError{keyPath(where, it.key()), "unknown key"};
  }
}

std::string getString(const json& value, const std::string& where) {
  if (!value.is_string()) throw SceneError{where, "expected a text"};
  return value.get<std::string>();
}

bool getBool(const json& value, const std::string& where) {
  if (!value.is_boolean()) throw SceneError{where, "expected true or false"};
  return value.get<bool>();
}

std::uint64_t getUnsigned(const json& value, const std::string& where, std::uint64_t min,
                          std::uint64_t max) {
  if (!value.is_number_integer()) throw SceneError{where, "expected an integer"};
  if (value.is_number_unsigned()) {
    const std::uint64_t v = value.get<std::uint64_t>();
    if (v >= min && v <= max) return v;
  } else {
    const std::int64_t v = value.get<std::int64_t>();
    if (v >= 0 && static_cast<std::uint64_t>(v) >= min && static_cast<std::uint64_t>(v) <= max) {
      return static_cast<std::uint64_t>(v);
    }
  }
  throw SceneError{where, "must be from " + std::to_string(min) + " to " + std::to_string(max)};
}

std::uint8_t getByte(const json& value, const std::string& where) {
  return static_cast<std::uint8_t>(getUnsigned(value, where, 0, 255));
}

// An HRESULT: "0x" and up to eight hexadecimal digits, or an integer.
HResult getHResult(const json& value, const std::string& where) {
  if (value.is_number_integer()) {
    return static_cast<HResult>(
        static_cast<std::uint32_t>(getUnsigned(value, where, 0, 0xFFFFFFFFu)));
  }
  if (!value.is_string()) throw SceneError{where, "expected an HRESULT such as \"0x8007001F\""};
  const std::string text = value.get<std::string>();
  bool ok =
      text.size() > 2 && text.size() <= 10 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  std::uint32_t v = 0;
  for (std::size_t i = 2; ok && i < text.size(); ++i) {
    const char c = text[i];
    std::uint32_t d = 0;
    if (c >= '0' && c <= '9') {
      d = static_cast<std::uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      d = static_cast<std::uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      d = static_cast<std::uint32_t>(c - 'A' + 10);
    } else {
      ok = false;
    }
    v = (v << 4) | d;
  }
  if (!ok) throw SceneError{where, "expected an HRESULT such as \"0x8007001F\""};
  return static_cast<HResult>(v);
}

std::array<std::uint8_t, 3> getReply(const json& value, const std::string& where) {
  if (!value.is_array() || value.size() != 3) throw SceneError{where, "expected three bytes"};
  std::array<std::uint8_t, 3> bytes{};
  for (std::size_t i = 0; i < 3; ++i) bytes[i] = getByte(value[i], indexPath(where, i));
  return bytes;
}

// A path as UTF-8 text (string() would convert to the Windows code page,
// which cannot hold every name).
std::string utf8Of(const std::filesystem::path& p) {
  const std::u8string text = p.u8string();
  return std::string(text.begin(), text.end());
}

std::string resolvePath(const std::string& baseDir, const std::string& path) {
  const std::filesystem::path p = std::filesystem::u8path(path);
  if (p.is_absolute() || baseDir.empty()) return utf8Of(p);
  return utf8Of(std::filesystem::u8path(baseDir) / p);
}

FaultConfig parseFault(const json& value, const std::string& where) {
  requireObject(value, where);
  FaultConfig fault;
  if (value.contains("request")) {
    rejectUnknownKeys(value, where, {"request", "result", "count"});
    fault.kind = FaultConfig::Kind::Request;
    fault.request = static_cast<std::uint32_t>(
        getUnsigned(value["request"], keyPath(where, "request"), 1, 0xFFFFFFFFu));
    if (!value.contains("result")) throw SceneError{keyPath(where, "result"), "missing"};
    fault.result = getHResult(value["result"], keyPath(where, "result"));
    if (value.contains("count")) {
      fault.count = static_cast<std::uint32_t>(
          getUnsigned(value["count"], keyPath(where, "count"), 1, 0xFFFFFFFFu));
    }
  } else if (value.contains("unplug_after")) {
    rejectUnknownKeys(value, where, {"unplug_after"});
    fault.kind = FaultConfig::Kind::UnplugAfter;
    fault.request = static_cast<std::uint32_t>(
        getUnsigned(value["unplug_after"], keyPath(where, "unplug_after"), 0, 0xFFFFFFFFu));
  } else if (value.contains("spi_busy")) {
    rejectUnknownKeys(value, where, {"spi_busy"});
    if (getString(value["spi_busy"], keyPath(where, "spi_busy")) != "stuck") {
      throw SceneError{keyPath(where, "spi_busy"), "must be \"stuck\""};
    }
    fault.kind = FaultConfig::Kind::SpiBusyStuck;
  } else if (value.contains("wip")) {
    rejectUnknownKeys(value, where, {"wip"});
    if (getString(value["wip"], keyPath(where, "wip")) != "stuck") {
      throw SceneError{keyPath(where, "wip"), "must be \"stuck\""};
    }
    fault.kind = FaultConfig::Kind::WipStuck;
  } else if (value.contains("checksum_xor")) {
    rejectUnknownKeys(value, where, {"checksum_xor"});
    fault.kind = FaultConfig::Kind::ChecksumXor;
    fault.xorValue = getByte(value["checksum_xor"], keyPath(where, "checksum_xor"));
  } else if (value.contains("stuck_cells")) {
    rejectUnknownKeys(value, where, {"stuck_cells"});
    const std::string w = keyPath(where, "stuck_cells");
    if (!value["stuck_cells"].is_array()) throw SceneError{w, "expected a list of addresses"};
    fault.kind = FaultConfig::Kind::StuckCells;
    for (std::size_t i = 0; i < value["stuck_cells"].size(); ++i) {
      fault.cells.push_back(static_cast<std::uint32_t>(
          getUnsigned(value["stuck_cells"][i], indexPath(w, i), 0, (16u << 20) - 1)));
    }
  } else if (value.contains("stall")) {
    rejectUnknownKeys(value, where, {"stall"});
    fault.kind = FaultConfig::Kind::Stall;
    fault.request = static_cast<std::uint32_t>(
        getUnsigned(value["stall"], keyPath(where, "stall"), 1, 0xFFFFFFFFu));
  } else if (value.contains("flip_read")) {
    rejectUnknownKeys(value, where, {"flip_read", "count"});
    fault.kind = FaultConfig::Kind::FlipRead;
    fault.address = static_cast<std::uint32_t>(
        getUnsigned(value["flip_read"], keyPath(where, "flip_read"), 0, (16u << 20) - 1));
    if (value.contains("count")) {
      fault.count = static_cast<std::uint32_t>(
          getUnsigned(value["count"], keyPath(where, "count"), 1, 0xFFFFFFFFu));
    }
  } else {
    throw SceneError{where,
                     "unknown fault (expected request, unplug_after, spi_busy, wip, "
                     "checksum_xor, stuck_cells, stall or flip_read)"};
  }
  return fault;
}

FlashPart parseFlash(const json& value, const std::string& where) {
  if (value.is_string()) {
    const std::string name = value.get<std::string>();
    const FlashPart* part = findFlashPart(name);
    if (part == nullptr) throw SceneError{where, "unknown part \"" + name + "\""};
    return *part;
  }
  if (!value.is_object()) throw SceneError{where, "expected a part name or {rems, res, rdid}"};
  rejectUnknownKeys(value, where, {"rems", "res", "rdid"});
  FlashPart part{"unlisted", 0, 0, kNoReply, kNoReply, kNoReply, kGenericBusyTimes};
  for (const char* key : {"rems", "res", "rdid"}) {
    if (!value.contains(key)) throw SceneError{keyPath(where, key), "missing"};
  }
  part.rems = {true, getReply(value["rems"], keyPath(where, "rems"))};
  part.res = {true, getReply(value["res"], keyPath(where, "res"))};
  part.rdid = {true, getReply(value["rdid"], keyPath(where, "rdid"))};
  return part;
}

CameraConfig parseCamera(const json& value, const std::string& where, const std::string& baseDir) {
  requireObject(value, where);
  rejectUnknownKeys(value, where,
                    {"device_path",
                     "route",
                     "nodes",
                     "xu_guid",
                     "chip_id",
                     "flash",
                     "flash_size",
                     "flash_file",
                     "status_register",
                     "dfu_block_length",
                     "read_block_length",
                     "faults",
                     "bind_object",
                     "bind_storage",
                     "read_device_path",
                     "ks_control",
                     "streaming",
                     "reenumerates",
                     "undeclared_controls",
                     "spi_busy_reads",
                     "usb",
                     "infrared_path"});
  CameraConfig camera;
  camera.part = *findFlashPart("GD25Q512");
  if (!value.contains("device_path")) throw SceneError{keyPath(where, "device_path"), "missing"};
  camera.devicePath = getString(value["device_path"], keyPath(where, "device_path"));
  if (value.contains("infrared_path")) {
    camera.infraredPath = getString(value["infrared_path"], keyPath(where, "infrared_path"));
  }
  if (value.contains("route")) {
    const std::string w = keyPath(where, "route");
    const std::string route = getString(value["route"], w);
    if (route == "ks") {
      camera.route = Route::Ks;
    } else if (route == "private") {
      camera.route = Route::Private;
    } else if (route == "both") {
      camera.route = Route::Both;
    } else if (route == "none") {
      camera.route = Route::None;
    } else {
      throw SceneError{w, "unknown route \"" + route + "\" (ks, private, both or none)"};
    }
  }
  if (value.contains("nodes")) {
    const std::string w = keyPath(where, "nodes");
    if (!value["nodes"].is_array()) throw SceneError{w, "expected a list"};
    camera.nodes.clear();
    for (std::size_t i = 0; i < value["nodes"].size(); ++i) {
      const std::string type = getString(value["nodes"][i], indexPath(w, i));
      if (type != "xu" && type != "other") {
        throw SceneError{indexPath(w, i), "unknown node type \"" + type + "\" (xu or other)"};
      }
      camera.nodes.push_back(type == "xu");
    }
  }
  if (value.contains("xu_guid")) {
    const std::string w = keyPath(where, "xu_guid");
    const std::string guid = getString(value["xu_guid"], w);
    if (guid != "primary" && guid != "secondary") {
      throw SceneError{w, "must be \"primary\" or \"secondary\""};
    }
    camera.secondaryGuid = guid == "secondary";
  }
  if (value.contains("chip_id"))
    camera.chipId = getByte(value["chip_id"], keyPath(where, "chip_id"));
  if (value.contains("flash")) camera.part = parseFlash(value["flash"], keyPath(where, "flash"));
  if (value.contains("flash_size")) {
    const std::string w = keyPath(where, "flash_size");
    camera.flashSize =
        static_cast<std::uint32_t>(getUnsigned(value["flash_size"], w, 4096, 16u << 20));
    if (camera.flashSize % 4096 != 0) throw SceneError{w, "must be a multiple of 4096"};
  }
  if (value.contains("flash_file")) {
    camera.flashFile =
        resolvePath(baseDir, getString(value["flash_file"], keyPath(where, "flash_file")));
  }
  if (value.contains("status_register")) {
    camera.statusRegister = getByte(value["status_register"], keyPath(where, "status_register"));
  }
  if (value.contains("dfu_block_length")) {
    camera.dfuBlockLength = static_cast<std::uint32_t>(
        getUnsigned(value["dfu_block_length"], keyPath(where, "dfu_block_length"), 0, 65535));
  }
  if (value.contains("read_block_length")) {
    camera.readBlockLength = static_cast<std::uint32_t>(
        getUnsigned(value["read_block_length"], keyPath(where, "read_block_length"), 0, 65535));
  }
  if (value.contains("faults")) {
    const std::string w = keyPath(where, "faults");
    if (!value["faults"].is_array()) throw SceneError{w, "expected a list"};
    for (std::size_t i = 0; i < value["faults"].size(); ++i) {
      camera.faults.push_back(parseFault(value["faults"][i], indexPath(w, i)));
    }
  }
  if (value.contains("bind_object")) {
    camera.bindObjectResult = getHResult(value["bind_object"], keyPath(where, "bind_object"));
  }
  if (value.contains("bind_storage")) {
    camera.bindStorageResult = getHResult(value["bind_storage"], keyPath(where, "bind_storage"));
  }
  if (value.contains("read_device_path")) {
    camera.readDevicePathResult =
        getHResult(value["read_device_path"], keyPath(where, "read_device_path"));
  }
  if (value.contains("ks_control"))
    camera.ksControl = getBool(value["ks_control"], keyPath(where, "ks_control"));
  if (value.contains("streaming")) {
    const std::string w = keyPath(where, "streaming");
    const json& streaming = value["streaming"];
    if (streaming.is_string()) {
      if (streaming.get<std::string>() != "unsupported") {
        throw SceneError{w, "expected true, false or \"unsupported\""};
      }
      camera.streaming = CameraConfig::Streaming::Unsupported;
    } else {
      camera.streaming =
          getBool(streaming, w) ? CameraConfig::Streaming::Yes : CameraConfig::Streaming::No;
    }
  }
  if (value.contains("reenumerates")) {
    const std::string w = keyPath(where, "reenumerates");
    const json& reenumerates = value["reenumerates"];
    if (reenumerates.is_string()) {
      if (reenumerates.get<std::string>() != "never") {
        throw SceneError{w, "expected true, false or \"never\""};
      }
      camera.reenumerates = CameraConfig::Reenumerates::Never;
    } else {
      camera.reenumerates = getBool(reenumerates, w) ? CameraConfig::Reenumerates::Yes
                                                     : CameraConfig::Reenumerates::No;
    }
  }
  if (value.contains("undeclared_controls")) {
    const std::string w = keyPath(where, "undeclared_controls");
    const json& list = value["undeclared_controls"];
    if (!list.is_array()) throw SceneError{w, "expected a list"};
    for (std::size_t i = 0; i < list.size(); ++i) {
      const std::uint32_t selector = getUnsigned(list[i], indexPath(w, i), 1, 31);
      camera.undeclaredControls |= 1u << selector;
    }
  }
  if (value.contains("spi_busy_reads")) {
    camera.spiBusyReads = static_cast<std::uint32_t>(
        getUnsigned(value["spi_busy_reads"], keyPath(where, "spi_busy_reads"), 0, 1000000));
  }
  if (value.contains("usb")) {
    const std::string w = keyPath(where, "usb");
    const json& usb = value["usb"];
    requireObject(usb, w);
    rejectUnknownKeys(
        usb, w,
        {"vendor", "product", "revision", "controls", "speed", "configurations", "short_reply"});
    if (usb.contains("controls")) {
      const std::string controls = getString(usb["controls"], keyPath(w, "controls"));
      if (controls != "contiguous" && controls != "answered") {
        throw SceneError{keyPath(w, "controls"), "expected \"contiguous\" or \"answered\""};
      }
      camera.usbContiguousControls = controls == "contiguous";
    }
    auto field = [&](const char* key, std::uint16_t& out) {
      if (usb.contains(key)) {
        out = static_cast<std::uint16_t>(getUnsigned(usb[key], keyPath(w, key), 0, 0xFFFF));
      }
    };
    field("vendor", camera.usbVendor);
    field("product", camera.usbProduct);
    field("revision", camera.usbRevision);
    if (usb.contains("speed")) {
      const std::string speed = getString(usb["speed"], keyPath(w, "speed"));
      if (speed != "high" && speed != "super") {
        throw SceneError{keyPath(w, "speed"), "must be \"high\" or \"super\""};
      }
      camera.usbSuperSpeed = speed == "super";
    }
    if (usb.contains("configurations")) {
      camera.usbVendorConfigurationFirst =
          getUnsigned(usb["configurations"], keyPath(w, "configurations"), 1, 2) == 2;
    }
    if (usb.contains("short_reply")) {
      camera.usbShortReply = static_cast<std::uint32_t>(
          getUnsigned(usb["short_reply"], keyPath(w, "short_reply"), 1, 0xFFFFFFFFu));
    }
  }
  return camera;
}

ImageDeviceConfig parseImageDevice(const json& value, const std::string& where) {
  requireObject(value, where);
  rejectUnknownKeys(value, where,
                    {"instance_id", "hardware_ids", "address", "grandparent_id", "parent"});
  ImageDeviceConfig device;
  if (!value.contains("instance_id")) throw SceneError{keyPath(where, "instance_id"), "missing"};
  device.instanceId = getString(value["instance_id"], keyPath(where, "instance_id"));
  if (value.contains("hardware_ids")) {
    const std::string w = keyPath(where, "hardware_ids");
    if (!value["hardware_ids"].is_array()) throw SceneError{w, "expected a list of texts"};
    for (std::size_t i = 0; i < value["hardware_ids"].size(); ++i) {
      device.hardwareIds.push_back(getString(value["hardware_ids"][i], indexPath(w, i)));
    }
  }
  if (value.contains("address") && !value["address"].is_null()) {
    device.address = static_cast<std::uint32_t>(
        getUnsigned(value["address"], keyPath(where, "address"), 0, 0xFFFFFFFFu));
  }
  if (value.contains("grandparent_id")) {
    device.grandparentId = getString(value["grandparent_id"], keyPath(where, "grandparent_id"));
  }
  if (value.contains("parent")) {
    device.parent = static_cast<std::uint32_t>(
        getUnsigned(value["parent"], keyPath(where, "parent"), 1, 0xFFFFFFFFu));
  }
  return device;
}

Scene parseRoot(const json& root, const std::string& baseDir) {
  requireObject(root, "scene");
  rejectUnknownKeys(root, "",
                    {"clock", "trace", "cameras", "image_devices", "video_enum", "image_registry",
                     "image_enum_error"});
  Scene scene;
  if (root.contains("clock")) {
    const std::string clock = getString(root["clock"], "clock");
    if (clock != "virtual" && clock != "real")
      throw SceneError{"clock", "must be \"virtual\" or \"real\""};
    scene.realClock = clock == "real";
  }
  if (root.contains("trace"))
    scene.tracePath = resolvePath(baseDir, getString(root["trace"], "trace"));
  if (root.contains("cameras")) {
    if (!root["cameras"].is_array()) throw SceneError{"cameras", "expected a list"};
    for (std::size_t i = 0; i < root["cameras"].size(); ++i) {
      scene.cameras.push_back(parseCamera(root["cameras"][i], indexPath("cameras", i), baseDir));
    }
  }
  if (root.contains("image_devices")) {
    if (!root["image_devices"].is_array()) throw SceneError{"image_devices", "expected a list"};
    for (std::size_t i = 0; i < root["image_devices"].size(); ++i) {
      scene.imageDevices.push_back(
          parseImageDevice(root["image_devices"][i], indexPath("image_devices", i)));
    }
  }
  if (root.contains("video_enum"))
    scene.videoEnumResult = getHResult(root["video_enum"], "video_enum");
  if (root.contains("image_registry")) {
    const std::string v = getString(root["image_registry"], "image_registry");
    if (v != "available" && v != "unavailable") {
      throw SceneError{"image_registry", "must be \"available\" or \"unavailable\""};
    }
    scene.registryAvailable = v == "available";
  }
  if (root.contains("image_enum_error")) {
    scene.imageEnumError = static_cast<std::uint32_t>(
        getUnsigned(root["image_enum_error"], "image_enum_error", 0, 0xFFFFFFFFu));
  }
  // The trace and the flash files are written later in the run: a folder
  // that does not exist is refused now rather than losing them silently.
  auto requireFolder = [](const std::string& file, const std::string& where) {
    const std::filesystem::path folder = std::filesystem::u8path(file).parent_path();
    std::error_code ec;
    if (!folder.empty() && !std::filesystem::is_directory(folder, ec)) {
      throw SceneError{where, "folder " + utf8Of(folder) + " does not exist"};
    }
  };
  if (scene.tracePath) requireFolder(*scene.tracePath, "trace");
  for (std::size_t i = 0; i < scene.cameras.size(); ++i) {
    if (scene.cameras[i].flashFile) {
      requireFolder(*scene.cameras[i].flashFile, indexPath("cameras", i) + ".flash_file");
    }
  }
  // Flash files are written back at exit: two cameras sharing one would
  // overwrite each other.
  std::set<std::string> files;
  for (std::size_t i = 0; i < scene.cameras.size(); ++i) {
    const auto& file = scene.cameras[i].flashFile;
    if (file && !files.insert(*file).second) {
      throw SceneError{indexPath("cameras", i) + ".flash_file", "used by another camera"};
    }
  }
  return scene;
}

}  // namespace

std::optional<Scene> parseScene(const std::string& text, const std::string& baseDir,
                                const std::string& displayName, std::string& error) {
  json root;
  try {
    root = json::parse(text);
  } catch (const json::exception& e) {
    // A syntax error, or a number beyond the range of a double (out_of_range
    // 406), which the parser reports as an exception of another kind.
    std::string what = e.what();
    // Drop the library's "[json.exception.parse_error.101] " prefix.
    if (const auto pos = what.find("] "); pos != std::string::npos) what = what.substr(pos + 2);
    error = displayName + ": not valid JSON: " + what;
    return std::nullopt;
  }
  try {
    return parseRoot(root, baseDir);
  } catch (const SceneError& e) {
    error = displayName + ": " + (e.where.empty() ? "" : e.where + ": ") + e.problem;
  } catch (const json::exception& e) {
    error = displayName + ": " + e.what();
  } catch (const std::exception& e) {
    // A file name the system cannot take, or no memory.
    error = displayName + ": " + e.what();
  }
  return std::nullopt;
}

bool loadFlashContents(const CameraConfig& camera, std::vector<std::uint8_t>& contents,
                       std::string& error) {
  contents.assign(camera.flashSize, 0xFF);
  if (!camera.flashFile) return true;
  std::error_code ec;
  const std::filesystem::path path = std::filesystem::u8path(*camera.flashFile);
  if (!std::filesystem::exists(path, ec)) return true;
  std::ifstream in(path, std::ios::binary);
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (!in || ec) {
    error = "cannot read flash file " + *camera.flashFile;
    return false;
  }
  if (size > contents.size()) {
    error = "flash file " + *camera.flashFile + " holds " + std::to_string(size) +
            " bytes, more than flash_size " + std::to_string(contents.size());
    return false;
  }
  in.read(reinterpret_cast<char*>(contents.data()), static_cast<std::streamsize>(size));
  if (static_cast<std::uintmax_t>(in.gcount()) != size) {
    error = "cannot read flash file " + *camera.flashFile;
    return false;
  }
  return true;
}

bool readSceneText(const std::filesystem::path& path, const std::string& displayName,
                   std::string& text, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  std::error_code ec;
  if (!in || std::filesystem::is_directory(path, ec)) {
    error = displayName + ": cannot read the scene file";
    return false;
  }
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) {
    error = displayName + ": cannot read the scene file";
    return false;
  }
  text = std::move(buffer).str();
  return true;
}

bool loadAllFlashContents(const Scene& scene, const std::string& displayName,
                          std::vector<std::vector<std::uint8_t>>& contents, std::string& error) {
  contents.assign(scene.cameras.size(), {});
  for (std::size_t i = 0; i < scene.cameras.size(); ++i) {
    std::string problem;
    if (!loadFlashContents(scene.cameras[i], contents[i], problem)) {
      error = displayName + ": cameras[" + std::to_string(i) + "].flash_file: " + problem;
      return false;
    }
  }
  return true;
}

}  // namespace qv::sim
