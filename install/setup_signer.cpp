#include "install/setup_signer.h"

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include "build_config.h"
#include "common/handles.h"
#include "common/log.h"
#include "common/text.h"
#include "install/install_worker.h"

namespace {

constexpr DWORD kNameUnits = 256;

const char* RefusalReason(LONG verdict) {
    switch (static_cast<HRESULT>(verdict)) {
        case TRUST_E_NOSIGNATURE:
        case TRUST_E_SUBJECT_FORM_UNKNOWN:
            return "unsigned";
        case TRUST_E_BAD_DIGEST:
            return "signature does not match the file (tampered)";
        default:
            return "untrusted, expired or revoked certificate chain";
    }
}

// The subject common name of the certificate that made the first signature.
std::wstring SignerName(HANDLE state) {
    CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(state);
    CRYPT_PROVIDER_SGNR* signer = provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
    CRYPT_PROVIDER_CERT* certificate = signer ? WTHelperGetProvCertFromChain(signer, 0) : nullptr;
    if (!certificate) return {};
    wchar_t name[kNameUnits];
    const DWORD units = CertGetNameStringW(certificate->pCert, CERT_NAME_ATTR_TYPE, 0,
                                           const_cast<char*>(szOID_COMMON_NAME), name, kNameUnits);
    return units > 1 ? std::wstring(name, units - 1) : std::wstring();
}

}  // namespace

bool IsFromPinnedPublisher(HANDLE file, const std::wstring& path) {
    const std::wstring pinned = kSetupSigner;
    if (pinned.empty()) return true;

    WINTRUST_FILE_INFO subject{};
    subject.cbStruct = sizeof subject;
    subject.pcwszFilePath = path.c_str();
    subject.hFile = file;
    WINTRUST_DATA request{};
    request.cbStruct = sizeof request;
    request.dwUIChoice = WTD_UI_NONE;
    request.dwUnionChoice = WTD_CHOICE_FILE;
    request.pFile = &subject;
    request.dwStateAction = WTD_STATEACTION_VERIFY;
    // Revocation as far as Windows has it cached: an offline machine or a
    // slow revocation server must not stall the installation.
    request.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
    request.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG verdict = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &request);
    const UniqueTrustState state(&request);

    if (verdict != 0) {
        // Windows 7 without its SHA-2 code-signing updates cannot check a
        // SHA-256 signature at all; customer service needs to tell that apart.
        const bool windows7 = IsOsVersionAtLeast(6, 1, 0) && !IsOsVersionAtLeast(6, 2, 0);
        Log("setup program refused: %s (WinVerifyTrust 0x%08lx)%s", RefusalReason(verdict),
            static_cast<unsigned long>(verdict),
            windows7 ? "; Windows 7 checks SHA-256 signatures only with KB3033929 or KB4474419" : "");
        return false;
    }
    const std::wstring signer = SignerName(request.hWVTStateData);
    if (signer != pinned) {
        Log("setup program refused: signed by another publisher, \"%s\"", WideToUtf8(signer).c_str());
        return false;
    }
    Log("setup program signed by \"%s\"", WideToUtf8(signer).c_str());
    return true;
}
