// Resources of the program's own module.
#include <windows.h>

#include "platform/win32/win32_services.h"

namespace qv::win32 {

std::span<const std::uint8_t> Win32Resources::FindBinary(int id) {
  HMODULE self = ::GetModuleHandleW(nullptr);
  HRSRC info = ::FindResourceW(self, MAKEINTRESOURCEW(id), L"BINARY");
  if (!info) return {};
  HGLOBAL loaded = ::LoadResource(self, info);
  if (!loaded) return {};
  const void* bytes = ::LockResource(loaded);
  const DWORD size = ::SizeofResource(self, info);
  if (!bytes || size == 0) return {};
  // Resource memory lives as long as the module; nothing to free.
  return {static_cast<const std::uint8_t*>(bytes), size};
}

}  // namespace qv::win32
