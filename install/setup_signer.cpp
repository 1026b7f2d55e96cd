#include "install/setup_signer.h"

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include "build_config.h"
#include "common/files.h"
#include "common/handles.h"
#include "common/log.h"
#include "common/text.h"
#include "common/windows_version.h"

namespace {

const char* RefusalReason(LONG verdict) {
    switch (static_cast<HRESULT>(verdict)) {
        case TRUST_E_NOSIGNATURE:
        case TRUST_E_SUBJECT_FORM_UNKNOWN:
            return "unsigned";
        case TRUST_E_BAD_DIGEST:
            return "signature does not match the file (tampered)";
        default:
            return "untrusted or expired certificate chain";
    }
}

// The certificate that made the first signature: the end of its chain.
PCCERT_CONTEXT SignerCertificate(HANDLE state) {
    CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(state);
    CRYPT_PROVIDER_SGNR* signer = provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
    if (!signer || !signer->pChainContext || signer->pChainContext->cChain == 0) return nullptr;
    const CERT_SIMPLE_CHAIN* chain = signer->pChainContext->rgpChain[0];
    return chain->cElement > 0 ? chain->rgpElement[0]->pCertContext : nullptr;
}

// The subject's common name, whole: empty when there is none or it could
// not be read in full, never a part of it.
std::wstring CommonName(PCCERT_CONTEXT certificate) {
    auto* commonName = const_cast<char*>(szOID_COMMON_NAME);
    const DWORD units = CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0, commonName, nullptr, 0);
    if (units <= 1) return {};
    std::wstring name(units, L'\0');
    if (CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0, commonName, name.data(), units) != units) return {};
    name.resize(units - 1);
    return name;
}

enum class Revocation { NotRevoked, Revoked, Unknown };

// The revocation status of the signer's certificate and of every CA above
// it but the root (which no one can revoke), from what Windows has cached:
// the installation never waits on a revocation server. Status bits, not an
// error code, so a revoked certificate is seen whatever else is wrong.
Revocation RevocationOf(PCCERT_CONTEXT certificate, DWORD& status) {
    CERT_CHAIN_PARA request{};
    request.cbSize = sizeof request;
    // The store it came in, the signature's own, holds the CAs sent with it.
    PCCERT_CHAIN_CONTEXT rawChain = nullptr;
    if (!CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore, &request,
                                 CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT |
                                     CERT_CHAIN_REVOCATION_CHECK_CACHE_ONLY | CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL,
                                 nullptr, &rawChain)) {
        status = GetLastError();
        return Revocation::Unknown;
    }
    const UniqueCertChain chain(rawChain);
    status = chain->TrustStatus.dwErrorStatus;
    if (status & CERT_TRUST_IS_REVOKED) return Revocation::Revoked;
    if (status & (CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION)) return Revocation::Unknown;
    return Revocation::NotRevoked;
}

}  // namespace

bool IsFromPinnedPublisher(HANDLE file, const std::wstring& path) {
    const std::wstring pinned = kSetupSigner;
    if (pinned.empty()) return true;

    const std::wstring fullPath = FullPath(path);
    if (fullPath.empty()) {
        Log("setup program refused: no full path for it (error %lu)", GetLastError());
        return false;
    }
    WINTRUST_FILE_INFO subject{};
    subject.cbStruct = sizeof subject;
    subject.pcwszFilePath = fullPath.c_str();
    subject.hFile = file;
    WINTRUST_DATA request{};
    request.cbStruct = sizeof request;
    request.dwUIChoice = WTD_UI_NONE;
    request.dwUnionChoice = WTD_CHOICE_FILE;
    request.pFile = &subject;
    request.dwStateAction = WTD_STATEACTION_VERIFY;
    // Revocation is asked separately, below: here whatever a policy makes of
    // an unknown status (a refusal, on many machines) cannot come in.
    request.fdwRevocationChecks = WTD_REVOKE_NONE;
    request.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG verdict = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &request);
    const UniqueTrustState state(&request);

    if (verdict != 0) {
        // Customer service needs to tell this apart: such a Windows cannot
        // check any signature made today.
        const bool beforeVistaSp2 = !IsOsVersionAtLeast(6, 0, 2);
        Log("setup program refused: %s (WinVerifyTrust 0x%08lx)%s", RefusalReason(verdict),
            static_cast<unsigned long>(verdict),
            beforeVistaSp2 ? "; Windows Vista before Service Pack 2 cannot check SHA-256 signatures or certificates"
                           : "");
        return false;
    }
    PCCERT_CONTEXT certificate = SignerCertificate(request.hWVTStateData);
    if (!certificate) {
        Log("setup program refused: no signing certificate in its signature");
        return false;
    }
    DWORD status = 0;
    const Revocation revocation = RevocationOf(certificate, status);
    if (revocation == Revocation::Revoked) {
        Log("setup program refused: revoked (certificate chain status 0x%08lx)", static_cast<unsigned long>(status));
        return false;
    }
    if (revocation == Revocation::Unknown)
        Log("revocation of the setup program's certificates could not be checked (status 0x%08lx): not refused for "
            "that",
            static_cast<unsigned long>(status));
    const std::wstring signer = CommonName(certificate);
    if (signer != pinned) {
        Log("setup program refused: signed by another publisher, \"%s\"", WideToUtf8(signer).c_str());
        return false;
    }
    Log("setup program signed by \"%s\"", WideToUtf8(signer).c_str());
    return true;
}
