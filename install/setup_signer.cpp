#include "install/setup_signer.h"

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include "build_config.h"
#include "common/handles.h"
#include "common/log.h"
#include "common/text.h"

namespace {

// A check that takes longer was most likely fetching certificates.
constexpr ULONGLONG kSlowTrustCheckMs = 1000;

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

// The first signature's signer, whose chain WinTrust built: null without one.
CRYPT_PROVIDER_SGNR* FirstSigner(CRYPT_PROVIDER_DATA* provider) {
    CRYPT_PROVIDER_SGNR* signer = provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
    return signer && signer->pChainContext && signer->pChainContext->cChain > 0 &&
                   signer->pChainContext->rgpChain[0]->cElement > 0
               ? signer
               : nullptr;
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

enum class Revocation { NotRevoked, Revoked, Unknown, PartialChain, Failed };

// The chain's revocation status at `when`, for the signer's certificate and
// every CA above it but the root (which no one can revoke), from what
// Windows has cached: the installation never waits on a revocation server.
// The chain may still fetch a CA that the signature did not carry. Status
// bits, not an error code, so a revoked certificate is seen whatever else is
// wrong. `status`: the chain's error status, or GetLastError when Failed.
Revocation RevocationAt(PCCERT_CONTEXT certificate, HCERTSTORE signatureStores, FILETIME* when, DWORD& status) {
    CERT_CHAIN_PARA request{};
    request.cbSize = sizeof request;
    PCCERT_CHAIN_CONTEXT rawChain = nullptr;
    if (!CertGetCertificateChain(
            nullptr, certificate, when, signatureStores, &request,
            CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT | CERT_CHAIN_REVOCATION_CHECK_CACHE_ONLY, nullptr,
            &rawChain)) {
        status = GetLastError();
        return Revocation::Failed;
    }
    const UniqueCertChain chain(rawChain);
    status = chain->TrustStatus.dwErrorStatus;
    if (status & CERT_TRUST_IS_REVOKED) return Revocation::Revoked;
    // Without the CAs above it, nobody's list could say the certificate is revoked.
    if (status & CERT_TRUST_IS_PARTIAL_CHAIN) return Revocation::PartialChain;
    if (status & (CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION)) return Revocation::Unknown;
    return Revocation::NotRevoked;
}

// The stores WinTrust gathered for the signature (its own certificates among
// them) as one, for building the chain again from the same material.
UniqueCertStore SignatureStores(const CRYPT_PROVIDER_DATA& provider) {
    UniqueCertStore collection(CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
    for (DWORD i = 0; collection && i < provider.chStores; ++i)
        if (!CertAddStoreToCollection(collection.get(), provider.pahStores[i], 0, 0)) collection.reset();
    return collection;
}

// False when the signature must be refused as revoked. Windows keeps a
// time-stamped signature valid when its certificate was revoked only
// after the time stamp; the signer's sftVerifyAsOf is that time, or now
// when there is none.
bool PassesRevocation(CRYPT_PROVIDER_DATA& provider, CRYPT_PROVIDER_SGNR& signer, PCCERT_CONTEXT certificate) {
    const UniqueCertStore stores = SignatureStores(provider);
    if (!stores) {
        Log("revocation of the setup program's certificates could not be checked: no store for its signature (error "
            "%lu): not refused for that",
            GetLastError());
        return true;
    }
    DWORD status = 0;
    const Revocation atSigning = RevocationAt(certificate, stores.get(), &signer.sftVerifyAsOf, status);
    const bool timeStamped = signer.csCounterSigners > 0;
    switch (atSigning) {
        case Revocation::Revoked:
            Log("setup program refused: revoked%s (certificate chain status 0x%08lx)",
                timeStamped ? " before it was time-stamped" : "", static_cast<unsigned long>(status));
            return false;
        case Revocation::Failed:
            Log("revocation of the setup program's certificates could not be checked: no chain (error %lu): not "
                "refused for that",
                static_cast<unsigned long>(status));
            return true;
        case Revocation::PartialChain:
            Log("revocation of the setup program's certificates could not be checked: the chain stops short of a root "
                "(status 0x%08lx): not refused for that",
                static_cast<unsigned long>(status));
            return true;
        case Revocation::Unknown:
            Log("revocation of the setup program's certificates could not be checked (status 0x%08lx): not refused "
                "for that",
                static_cast<unsigned long>(status));
            return true;
        case Revocation::NotRevoked:
            break;
    }
    // Asked again at the current time only so that support can tell why
    // Windows still trusts a certificate that has since been revoked.
    if (timeStamped && RevocationAt(certificate, stores.get(), nullptr, status) == Revocation::Revoked)
        Log("setup program's certificate revoked after its time stamp (certificate chain status 0x%08lx): not "
            "refused for that, as Windows does not",
            static_cast<unsigned long>(status));
    return true;
}

}  // namespace

bool IsFromPinnedPublisher(HANDLE file, const std::wstring& fullPath) {
    const std::wstring pinned = kSetupSigner;
    if (pinned.empty()) return true;

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
    // an unknown status (a refusal, on many machines) cannot come in. Chain
    // building may fetch what it lacks: a CA the signature did not carry, or
    // a root that Windows brings in the first time a chain needs it. Cut off
    // from that, a machine that has not met the publisher's CA yet would
    // refuse every genuine setup program.
    request.fdwRevocationChecks = WTD_REVOKE_NONE;
    request.dwProvFlags = WTD_REVOCATION_CHECK_NONE;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const ULONGLONG started = GetTickCount64();
    const LONG verdict = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &request);
    const UniqueTrustState state(&request);
    const ULONGLONG tookMs = GetTickCount64() - started;
    if (tookMs > kSlowTrustCheckMs)
        Log("the signature check took %.1f s (fetching certificates)", static_cast<double>(tookMs) / 1000);

    if (verdict != 0) {
        Log("setup program refused: %s (WinVerifyTrust 0x%08lx)", RefusalReason(verdict),
            static_cast<unsigned long>(verdict));
        return false;
    }
    CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(request.hWVTStateData);
    CRYPT_PROVIDER_SGNR* signer = FirstSigner(provider);
    if (!signer) {
        Log("setup program refused: no signing certificate in its signature");
        return false;
    }
    // The end of the first signature's chain.
    PCCERT_CONTEXT certificate = signer->pChainContext->rgpChain[0]->rgpElement[0]->pCertContext;
    if (!PassesRevocation(*provider, *signer, certificate)) return false;
    const std::wstring name = CommonName(certificate);
    if (name != pinned) {
        Log("setup program refused: signed by another publisher, \"%s\"", WideToUtf8(name).c_str());
        return false;
    }
    Log("setup program signed by \"%s\"", WideToUtf8(name).c_str());
    return true;
}
