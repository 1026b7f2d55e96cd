// Owning types for every Windows handle the installer makes, in one table.
// Each handle is owned from the line that creates it; the deleter is the
// one clean-up call that matches the call that made it.
#pragma once

#include <windows.h>
#include <bcrypt.h>
#include <softpub.h>
#include <winhttp.h>
#include <wintrust.h>
#include <gdiplus.h>

#include <memory>
#include <type_traits>

// The deleter names the release function in its type (no state, and the
// same type in every file, unlike a lambda written in a header).
template <typename Handle, auto Release>
using UniqueOf = std::unique_ptr<std::remove_pointer_t<Handle>, std::integral_constant<decltype(Release), Release>>;

inline void ReleaseInterface(IUnknown* object) { object->Release(); }
inline HANDLE NullIfInvalid(HANDLE file) {
    return file == INVALID_HANDLE_VALUE ? nullptr : file;
}  // CreateFileW's failure
inline void CloseAlgorithm(BCRYPT_ALG_HANDLE algorithm) { BCryptCloseAlgorithmProvider(algorithm, 0); }
// A verification's state is released by the same call with the same request.
inline void CloseTrustState(WINTRUST_DATA* request) {
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    request->dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, request);
}

inline void CloseCertStore(HCERTSTORE store) { CertCloseStore(store, 0); }  // closed once no context needs it

using UniqueHandle = UniqueOf<HANDLE, &CloseHandle>;
using UniqueInternet = UniqueOf<HINTERNET, &WinHttpCloseHandle>;
using UniqueRegKey = UniqueOf<HKEY, &RegCloseKey>;
using UniqueHglobal = UniqueOf<HGLOBAL, &GlobalFree>;
template <typename Interface>
using UniqueCom = UniqueOf<Interface*, &ReleaseInterface>;
using UniqueStream = UniqueCom<IStream>;
using UniqueBstr = UniqueOf<BSTR, &SysFreeString>;
using UniqueAlgorithm = UniqueOf<BCRYPT_ALG_HANDLE, &CloseAlgorithm>;
using UniqueHash = UniqueOf<BCRYPT_HASH_HANDLE, &BCryptDestroyHash>;  // destroyed before its algorithm
using UniqueTrustState = UniqueOf<WINTRUST_DATA*, &CloseTrustState>;  // the request a verification was made with
using UniqueCertChain = UniqueOf<PCCERT_CHAIN_CONTEXT, &CertFreeCertificateChain>;
using UniqueCertStore = UniqueOf<HCERTSTORE, &CloseCertStore>;

using UniqueDc = UniqueOf<HDC, &DeleteDC>;
using UniqueBitmap = UniqueOf<HBITMAP, &DeleteObject>;
using UniqueFont = UniqueOf<HFONT, &DeleteObject>;
using UniqueBrush = UniqueOf<HBRUSH, &DeleteObject>;
using UniquePen = UniqueOf<HPEN, &DeleteObject>;

using UniqueGpBitmap = UniqueOf<Gdiplus::GpBitmap*, &Gdiplus::DllExports::GdipDisposeImage>;
using UniqueGpGraphics = UniqueOf<Gdiplus::GpGraphics*, &Gdiplus::DllExports::GdipDeleteGraphics>;
using UniqueGpPath = UniqueOf<Gdiplus::GpPath*, &Gdiplus::DllExports::GdipDeletePath>;
using UniqueGpRegion = UniqueOf<Gdiplus::GpRegion*, &Gdiplus::DllExports::GdipDeleteRegion>;
using UniqueGpBrush = UniqueOf<Gdiplus::GpBrush*, &Gdiplus::DllExports::GdipDeleteBrush>;

// A GDI selection carries its DC and the object it displaced, so that
// releasing it puts the old object back before the new one is deleted.
inline auto SelectInto(HDC dc, HGDIOBJ object) {
    auto restore = [dc](HGDIOBJ previous) { SelectObject(dc, previous); };
    return std::unique_ptr<void, decltype(restore)>(SelectObject(dc, object), restore);
}
