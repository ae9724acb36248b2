// pellinor-wine-setup.exe: test setup of the Wine job only, never shipped.
//
//   pellinor-wine-setup group SERVICE GROUP
//
// Puts SERVICE in the load-order group GROUP through the service control
// manager. Wine's service manager starts a kernel driver in the driver host
// of a running driver of the same group, and in a host of its own when it
// has none; a filter reaches its target's device, and the shim's routines,
// only inside one host. Wine's sc has no "config" command, hence this.
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 4 || wcscmp(argv[1], L"group") != 0) {
    fprintf(stderr, "usage: pellinor-wine-setup group SERVICE GROUP\n");
    return 2;
  }
  SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
  if (manager == NULL) {
    fprintf(stderr, "OpenSCManager: error %lu\n", GetLastError());
    return 1;
  }
  SC_HANDLE service = OpenServiceW(manager, argv[2], SERVICE_CHANGE_CONFIG);
  if (service == NULL) {
    fprintf(stderr, "OpenService %ls: error %lu\n", argv[2], GetLastError());
    CloseServiceHandle(manager);
    return 1;
  }
  const BOOL changed =
      ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, NULL,
                           argv[3], NULL, NULL, NULL, NULL, NULL);
  const DWORD error = GetLastError();
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  if (!changed) {
    fprintf(stderr, "ChangeServiceConfig %ls: error %lu\n", argv[2], error);
    return 1;
  }
  return 0;
}
