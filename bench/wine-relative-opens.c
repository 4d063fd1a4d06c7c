/* Makes N folders, each in the one before, by the native API's open relative to the folder
   before's handle (NtCreateFile with a root directory and one name), as calendario.exe's walk
   does, and prints how long that took: under Wine it shows what that call costs by itself.
     wine-relative-opens.exe FOLDER N */
#include <windows.h>
#include <winternl.h>
#include <stdio.h>
#include <stdlib.h>
typedef NTSTATUS (NTAPI *Create)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
int wmain(int argc, wchar_t** argv) {
  int n = _wtoi(argv[2]);
  Create create = (Create)(void*)GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtCreateFile");
  CreateDirectoryW(argv[1], NULL);
  HANDLE h = CreateFileW(argv[1], FILE_LIST_DIRECTORY|FILE_TRAVERSE|SYNCHRONIZE, 7, NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
  LARGE_INTEGER f, a, b; QueryPerformanceFrequency(&f); QueryPerformanceCounter(&a);
  for (int i = 0; i < n; ++i) {
    UNICODE_STRING name = {2, 2, L"a"}; OBJECT_ATTRIBUTES o; InitializeObjectAttributes(&o, &name, OBJ_CASE_INSENSITIVE, h, NULL);
    IO_STATUS_BLOCK io; HANDLE next;
    NTSTATUS s = create(&next, FILE_LIST_DIRECTORY|FILE_TRAVERSE|FILE_READ_ATTRIBUTES|SYNCHRONIZE, &o, &io, NULL, 0, 7, FILE_CREATE, FILE_DIRECTORY_FILE|FILE_SYNCHRONOUS_IO_NONALERT|FILE_OPEN_REPARSE_POINT|FILE_OPEN_FOR_BACKUP_INTENT, NULL, 0);
    if (s < 0) { printf("fail %d %lx\n", i, s); return 1; }
    CloseHandle(h); h = next;
  }
  QueryPerformanceCounter(&b);
  printf("%d levels: %.3f s\n", n, (double)(b.QuadPart - a.QuadPart) / f.QuadPart);
  return 0;
}
