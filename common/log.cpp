#include "common/log.h"

#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "common/files.h"
#include "common/text.h"

namespace {

constexpr wchar_t kLogName[] = L"tarvex-installer.log";
constexpr int kLineBytes = 1024;

// Never closed: the detached worker may still log while the process ends,
// and the system closes it then.
HANDLE runLog = nullptr;

}  // namespace

void OpenRunLog() {
    wchar_t temp[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    if (length == 0 || length > MAX_PATH) return;
    std::wstring folderPath(temp, length);
    while (folderPath.size() > 3 && folderPath.back() == L'\\') folderPath.pop_back();
    // Held while the file is made in it, so it cannot become a link meanwhile.
    OpenOutcome outcome;
    const UniqueHandle folder = OpenUnredirected(folderPath, 0, outcome);
    if (!folder) return;
    // Others may read it as it grows, but not write it.
    runLog = CreateFresh(folderPath + L"\\" + kLogName, GENERIC_WRITE, FILE_SHARE_READ).release();
}

void Log(const char* format, ...) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char line[kLineBytes];
    int used = std::snprintf(line, sizeof line, "%04u-%02u-%02u %02u:%02u:%02u.%03u ", now.wYear, now.wMonth, now.wDay,
                             now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    std::va_list arguments;
    va_start(arguments, format);
    const int added = std::vsnprintf(line + used, sizeof line - used, format, arguments);
    va_end(arguments);
    used = added < 0 ? used : std::min<int>(used + added, sizeof line - 3);
    for (int i = 0; i < used; ++i)
        if (static_cast<unsigned char>(line[i]) < 0x20) line[i] = '?';
    line[used++] = '\r';
    line[used++] = '\n';
    line[used] = '\0';

    OutputDebugStringW(Utf8ToWide(std::string(line, used)).c_str());
    if (runLog) WriteAll(runLog, line, static_cast<std::size_t>(used));
}
