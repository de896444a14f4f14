// The device registry: the present devices of the Image and Camera setup
// classes (SetupAPI) and their nodes (configuration manager).
#include <windows.h>
// After windows.h.
#include <cfgmgr32.h>
#include <setupapi.h>

#include "platform/win32/com_interfaces.h"
#include "platform/win32/os_error.h"
#include "platform/win32/win32_services.h"

namespace qv::win32 {

namespace {

static_assert(sizeof(DEVINST) == sizeof(DevInst));

class Win32ImageDeviceList final : public IImageDeviceList {
 public:
  explicit Win32ImageDeviceList(HDEVINFO list) : list_(list) {}
  ~Win32ImageDeviceList() override { ::SetupDiDestroyDeviceInfoList(list_); }
  Win32ImageDeviceList(const Win32ImageDeviceList&) = delete;
  Win32ImageDeviceList& operator=(const Win32ImageDeviceList&) = delete;

  bool EnumDeviceInfo(std::uint32_t index, DevInst& node, std::uint32_t& lastError) override {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    if (!::SetupDiEnumDeviceInfo(list_, index, &data)) {
      lastError = ::GetLastError();
      return false;
    }
    node = data.DevInst;
    last_ = data;
    return true;
  }

  bool GetDeviceId(DevInst node, char* buffer, std::uint32_t size) override {
    if (!buffer || size == 0) return false;
    // One byte is held back for the terminator: the call does not write one
    // when the ID exactly fills the buffer it is given.
    buffer[size - 1] = '\0';
    if (!configRetSucceeded(::CM_Get_Device_IDA(node, buffer, size - 1, 0))) return false;
    buffer[size - 1] = '\0';
    return true;
  }

  bool GetRegistryProperty(DevInst node, DeviceRegistryProperty property, std::uint8_t* buffer,
                           std::uint32_t size, std::uint32_t& requiredSize,
                           std::uint32_t& lastError) override {
    SP_DEVINFO_DATA data{};
    if (!findNode(node, data)) {
      lastError = ERROR_NO_SUCH_DEVINST;
      return false;
    }
    const DWORD which =
        property == DeviceRegistryProperty::Address ? SPDRP_ADDRESS : SPDRP_HARDWAREID;
    DWORD required = 0;
    if (!::SetupDiGetDeviceRegistryPropertyA(list_, &data, which, nullptr, buffer,
                                             buffer ? size : 0, &required)) {
      lastError = ::GetLastError();
      requiredSize = required;
      return false;
    }
    requiredSize = required;
    return true;
  }

  bool GetParent(DevInst node, DevInst& parent) override {
    DEVINST p = 0;
    if (!configRetSucceeded(::CM_Get_Parent(&p, node, 0))) return false;
    parent = p;
    return true;
  }

 private:
  // The registry properties are asked for by node; SetupAPI wants the
  // device's record in the list. Usually it is the one enumerated last.
  bool findNode(DevInst node, SP_DEVINFO_DATA& data) {
    if (last_.cbSize != 0 && last_.DevInst == node) {
      data = last_;
      return true;
    }
    SP_DEVINFO_DATA probe{};
    probe.cbSize = sizeof probe;
    for (DWORD i = 0; ::SetupDiEnumDeviceInfo(list_, i, &probe); ++i) {
      if (probe.DevInst == node) {
        data = probe;
        return true;
      }
    }
    return false;
  }

  HDEVINFO list_;
  SP_DEVINFO_DATA last_{};
};

}  // namespace

namespace {

std::unique_ptr<IImageDeviceList> openPresentDevices(const GUID& setupClass) {
  HDEVINFO list = ::SetupDiGetClassDevsA(&setupClass, nullptr, nullptr, DIGCF_PRESENT);
  if (list == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<Win32ImageDeviceList>(list);
}

}  // namespace

std::unique_ptr<IImageDeviceList> Win32DeviceRegistry::OpenPresentImageDevices() {
  return openPresentDevices(kGuidDevClassImage);
}

std::unique_ptr<IImageDeviceList> Win32DeviceRegistry::OpenPresentCameraDevices() {
  return openPresentDevices(kGuidDevClassCamera);
}

}  // namespace qv::win32
