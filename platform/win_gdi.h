// The text-raster surface the effect draws on: off-screen device contexts,
// stock objects, opaque text output, rectangle fill and pixel read-back; plus
// the message box, string resources and common-control start-up.
//
// Principles (each function documents only its exceptions):
//  - Colours are COLORREF 0x00BBGGRR. A new raster is black (0) everywhere.
//  - Coordinates are pixels, origin top-left, rows grow downwards. Every
//    drawing call clips to the raster; nothing outside it is ever written.
//  - Creation calls return null on failure; other results may be ignored.
//  - A device context is used by one thread at a time; the caller serialises.
// Declarations only: the stand-in is host/raster (libtextraster.so). On
// Windows these are GDI, USER, KERNEL and COMCTL32 themselves.
#pragma once

#include "win_types.h"

#ifdef _WIN32
#include <commctrl.h>
#else

// Stock objects.
constexpr int DKGRAY_BRUSH = 3;      // fills with 0x404040
constexpr int ANSI_FIXED_FONT = 11;  // fixed-pitch; cells at most 18 rows high

// Background modes.
constexpr int TRANSPARENT = 1;
constexpr int OPAQUE = 2;

// Text alignment flags.
constexpr UINT TA_LEFT = 0;
constexpr UINT TA_RIGHT = 2;
constexpr UINT TA_CENTER = 6;
constexpr UINT TA_TOP = 0;
constexpr UINT TA_BOTTOM = 8;

// Message box types.
constexpr UINT MB_OK = 0;

constexpr COLORREF CLR_INVALID = 0xFFFFFFFF;

extern "C" {

HDC CreateDCA(LPCSTR driver, LPCSTR device, LPCSTR output, const void* init_data);
HDC CreateCompatibleDC(HDC hdc);
HBITMAP CreateCompatibleBitmap(HDC hdc, int cx, int cy);
// Returns the object previously selected of the same kind.
HGDIOBJ SelectObject(HDC hdc, HGDIOBJ obj);
HGDIOBJ GetStockObject(int i);
int SetBkMode(HDC hdc, int mode);
COLORREF SetBkColor(HDC hdc, COLORREF color);
COLORREF SetTextColor(HDC hdc, COLORREF color);
UINT SetTextAlign(HDC hdc, UINT align);
// Text is Windows-1252, c bytes long (no terminator needed).
BOOL TextOutA(HDC hdc, int x, int y, LPCSTR text, int c);
// Fills left <= x < right, top <= y < bottom.
int FillRect(HDC hdc, const RECT* rc, HBRUSH brush);
// CLR_INVALID outside the raster or without a selected bitmap.
COLORREF GetPixel(HDC hdc, int x, int y);
// A bitmap still selected into a context is not deleted (returns FALSE).
BOOL DeleteObject(HGDIOBJ obj);
BOOL DeleteDC(HDC hdc);

// Modal notice; returns when it is closed.
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
// Copies string `id` of the module's string table, cut to max-1 characters and
// zero-terminated; returns the count copied, 0 when the ID is missing.
int LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int max);
void InitCommonControls(void);

// Local time from the host's clock (which the host may pin).
void GetLocalTime(SYSTEMTIME* st);

}  // extern "C"

#endif  // _WIN32
