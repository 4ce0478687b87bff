// Native stand-in for the slice of <windows.h> the serial unit uses. Layouts
// follow the Win32 headers so that the unit's code is the same on both sides.
#pragma once

#include <cstdint>

using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using HANDLE = void*;
using LPCSTR = const char*;
using LPVOID = void*;

#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x80u
#define CE_RXOVER 0x0001u
#define CE_OVERRUN 0x0002u
#define CE_RXPARITY 0x0004u
#define CE_FRAME 0x0008u
#define CE_BREAK 0x0010u

struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD flags;  // the bit fields of the Win32 record, kept as one word
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};

struct COMSTAT {
    DWORD flags;
    DWORD cbInQue;
    DWORD cbOutQue;
};

struct OVERLAPPED;
struct SECURITY_ATTRIBUTES;

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security,
                   DWORD disposition, DWORD attributes, HANDLE templatefile);
BOOL CloseHandle(HANDLE handle);
BOOL SetupComm(HANDLE handle, DWORD inqueue, DWORD outqueue);
BOOL GetCommState(HANDLE handle, DCB* dcb);
BOOL BuildCommDCBA(LPCSTR mode, DCB* dcb);
BOOL SetCommState(HANDLE handle, DCB* dcb);
BOOL SetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts);
BOOL ClearCommError(HANDLE handle, DWORD* errors, COMSTAT* status);
BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD toread, DWORD* read, OVERLAPPED* overlapped);
DWORD GetTickCount();
DWORD GetLastError();
DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR defaut, char* buffer,
                               DWORD size, LPCSTR file);
