"""What each Windows version's HTTP client (WinHTTP over Schannel) offers in a TLS handshake by default,
from Microsoft's pages (named per entry), and what an update or a registry change changes: "changes" lists
them, each with the protocols then offered, whether it "enables" what the default lacks or "disables" what
it had, and, for "disables", the "warning" that names a server it would leave behind. Windows 10 and 11 are given
as updated since September 2022 (KB5017811), the common case: TLS 1.0 and 1.1 off for WinHTTP, so that a server
that speaks only those fails there, and turning them back on is a change the customer would have to make.
scripts/check-server reads this table; docs/download-server.md shows it. SSL 2.0/3.0 are left
out of every protocol list (OpenSSL 3 cannot speak them); comments say where a version also offers SSL 3.0.
Suites marked "Only used when application explicitly requests" (NULL) and SSL_CK_* (SSL 2.0) are not offered
by WinHTTP and are omitted. Page texts are the stored copies of learn.microsoft.com / support.microsoft.com."""
import re

# Microsoft's suite name (curve suffix removed) -> OpenSSL's name. Only suites OpenSSL 3 can speak.
OPENSSL_NAMES = {
    "TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384": "ECDHE-ECDSA-AES256-GCM-SHA384",
    "TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256": "ECDHE-ECDSA-AES128-GCM-SHA256",
    "TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384": "ECDHE-RSA-AES256-GCM-SHA384",
    "TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256": "ECDHE-RSA-AES128-GCM-SHA256",
    "TLS_ECDHE_ECDSA_WITH_AES_256_CBC_SHA384": "ECDHE-ECDSA-AES256-SHA384",
    "TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA256": "ECDHE-ECDSA-AES128-SHA256",
    "TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA384": "ECDHE-RSA-AES256-SHA384",
    "TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA256": "ECDHE-RSA-AES128-SHA256",
    "TLS_ECDHE_ECDSA_WITH_AES_256_CBC_SHA": "ECDHE-ECDSA-AES256-SHA",
    "TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA": "ECDHE-ECDSA-AES128-SHA",
    "TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA": "ECDHE-RSA-AES256-SHA",
    "TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA": "ECDHE-RSA-AES128-SHA",
    "TLS_DHE_RSA_WITH_AES_256_GCM_SHA384": "DHE-RSA-AES256-GCM-SHA384",
    "TLS_DHE_RSA_WITH_AES_128_GCM_SHA256": "DHE-RSA-AES128-GCM-SHA256",
    "TLS_DHE_RSA_WITH_AES_256_CBC_SHA": "DHE-RSA-AES256-SHA",
    "TLS_DHE_RSA_WITH_AES_128_CBC_SHA": "DHE-RSA-AES128-SHA",
    "TLS_RSA_WITH_AES_256_GCM_SHA384": "AES256-GCM-SHA384",
    "TLS_RSA_WITH_AES_128_GCM_SHA256": "AES128-GCM-SHA256",
    "TLS_RSA_WITH_AES_256_CBC_SHA256": "AES256-SHA256",
    "TLS_RSA_WITH_AES_128_CBC_SHA256": "AES128-SHA256",
    "TLS_RSA_WITH_AES_256_CBC_SHA": "AES256-SHA",
    "TLS_RSA_WITH_AES_128_CBC_SHA": "AES128-SHA",
    # DSS: OpenSSL 3.0 still knows these; only a server with a DSA certificate would pick them.
    "TLS_DHE_DSS_WITH_AES_256_CBC_SHA256": "DHE-DSS-AES256-SHA256",
    "TLS_DHE_DSS_WITH_AES_128_CBC_SHA256": "DHE-DSS-AES128-SHA256",
    "TLS_DHE_DSS_WITH_AES_256_CBC_SHA": "DHE-DSS-AES256-SHA",
    "TLS_DHE_DSS_WITH_AES_128_CBC_SHA": "DHE-DSS-AES128-SHA",
}
# Left out (absent from `openssl ciphers -V 'ALL:@SECLEVEL=0'` on OpenSSL 3.0):
#   TLS_RSA_WITH_3DES_EDE_CBC_SHA, TLS_DHE_DSS_WITH_3DES_EDE_CBC_SHA - 3DES suites not built into OpenSSL 3.0;
#   TLS_RSA_WITH_RC4_128_SHA, TLS_RSA_WITH_RC4_128_MD5 - RC4 lives only in the legacy provider;
#   TLS_RSA_WITH_NULL_* - not offered unless the application asks; TLS_PSK_* - not enabled by default
#   (needs SCH_USE_PRESHAREDKEY_ONLY); SSL_CK_* - SSL 2.0 only; DES/EXPORT suites - not enabled by default.

# TLS 1.3 suites use the same names on both sides (OpenSSL's -ciphersuites).
_LEARN = "https://learn.microsoft.com/en-us/windows/win32/secauthn/"
PROTOCOLS_PAGE = "Protocols in TLS/SSL (Schannel SSP) " + _LEARN + "protocols-in-tls-ssl--schannel-ssp-"
OPTION_FLAGS = ("Option Flags, WINHTTP_OPTION_SECURE_PROTOCOLS "
                "https://learn.microsoft.com/en-us/windows/win32/winhttp/option-flags")
KB5017811 = ("KB5017811 - Manage Transport Layer Security (TLS) 1.0 and 1.1 after default behavior change on "
             "September 20, 2022 https://support.microsoft.com/en-us/topic/kb5017811-manage-transport-layer-security-"
             "tls-1-0-and-1-1-after-default-behavior-change-on-september-20-2022-e95b1b47-9c7c-4d64-9baf-610604a64c3e")
# "This article will help you to re-enable them": what a customer whose installer fails could do.
TURNED_BACK_ON = {"effect": "enables", "short": "TLS 1.0 and 1.1 turned back on as KB5017811 describes",
                  "needs": "the registry settings of KB5017811's \"Enabling TLS version 1.1 and below\"",
                  "suites": None, "sources": [KB5017811]}
KB3140245 = ("Update to enable TLS 1.1 and TLS 1.2 as default secure protocols in WinHTTP in Windows (KB3140245) "
             "https://support.microsoft.com/en-us/kb/3140245")
_HEAD_7_8 = ["TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA384_P256", "TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA384_P384",  # 1.2
             "TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA256_P256", "TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA256_P384",  # 1.2
             "TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA_P256", "TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA_P384",
             "TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA_P256", "TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA_P384",
             "TLS_DHE_RSA_WITH_AES_256_GCM_SHA384", "TLS_DHE_RSA_WITH_AES_128_GCM_SHA256"]  # TLS 1.2 only
_REST_7_8 = ["TLS_RSA_WITH_AES_256_GCM_SHA384", "TLS_RSA_WITH_AES_128_GCM_SHA256",  # TLS 1.2 only
             "TLS_RSA_WITH_AES_256_CBC_SHA256", "TLS_RSA_WITH_AES_128_CBC_SHA256",  # TLS 1.2 only
             "TLS_RSA_WITH_AES_256_CBC_SHA", "TLS_RSA_WITH_AES_128_CBC_SHA",
             "TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384_P384", "TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256_P256",  # 1.2
             "TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256_P384", "TLS_ECDHE_ECDSA_WITH_AES_256_CBC_SHA384_P384",  # 1.2
             "TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA256_P256", "TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA256_P384",  # 1.2
             "TLS_ECDHE_ECDSA_WITH_AES_256_CBC_SHA_P256", "TLS_ECDHE_ECDSA_WITH_AES_256_CBC_SHA_P384",
             "TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA_P256", "TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA_P384",
             "TLS_DHE_DSS_WITH_AES_256_CBC_SHA256", "TLS_DHE_DSS_WITH_AES_128_CBC_SHA256",  # TLS 1.2 only
             "TLS_DHE_DSS_WITH_AES_256_CBC_SHA", "TLS_DHE_DSS_WITH_AES_128_CBC_SHA",
             "TLS_RSA_WITH_3DES_EDE_CBC_SHA", "TLS_DHE_DSS_WITH_3DES_EDE_CBC_SHA",
             "TLS_RSA_WITH_RC4_128_SHA", "TLS_RSA_WITH_RC4_128_MD5"]
# Windows 7 and 8.1 pages: the same list, with DHE_RSA CBC after the DHE_RSA GCM pair; the Windows 8 page lacks them.
_SUITES_7 = _HEAD_7_8 + ["TLS_DHE_RSA_WITH_AES_256_CBC_SHA", "TLS_DHE_RSA_WITH_AES_128_CBC_SHA"] + _REST_7_8
# Windows 10 v22H2 and Windows 11 v22H2+ share this TLS 1.2 list (both pages, same order; NULL rows dropped).
_SUITES_10_11 = [
    "TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384", "TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256",  # TLS 1.2 only
    "TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384", "TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256",  # TLS 1.2 only
    "TLS_ECDHE_ECDSA_WITH_AES_256_CBC_SHA384", "TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA256",  # TLS 1.2 only
    "TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA384", "TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA256",  # TLS 1.2 only
    "TLS_ECDHE_ECDSA_WITH_AES_256_CBC_SHA", "TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA",  # TLS 1.2, 1.1, 1.0
    "TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA", "TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA",  # TLS 1.2, 1.1, 1.0
    "TLS_RSA_WITH_AES_256_GCM_SHA384", "TLS_RSA_WITH_AES_128_GCM_SHA256",  # TLS 1.2 only
    "TLS_RSA_WITH_AES_256_CBC_SHA256", "TLS_RSA_WITH_AES_128_CBC_SHA256",  # TLS 1.2 only
    "TLS_RSA_WITH_AES_256_CBC_SHA", "TLS_RSA_WITH_AES_128_CBC_SHA"]  # TLS 1.2, 1.1, 1.0

WINDOWS = [
    {   # Protocols page: Vista/2008 TLS 1.0 client Enabled, TLS 1.1/1.2 "Not supported"; SSL 3.0 client Enabled too.
        "name": "Vista",
        "protocols": ["TLSv1"],
        "suites": [  # every row TLS 1.0 (the 2021 page revision adds TLS 1.1/1.2, which only Server 2008 SP2 got)
            "TLS_RSA_WITH_AES_128_CBC_SHA", "TLS_RSA_WITH_AES_256_CBC_SHA", "TLS_RSA_WITH_RC4_128_SHA",
            "TLS_RSA_WITH_3DES_EDE_CBC_SHA",
            "TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA_P256", "TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA_P384",
            "TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA_P521", "TLS_ECDHE_ECDSA_WITH_AES_256_CBC_SHA_P256",
            "TLS_ECDHE_ECDSA_WITH_AES_256_CBC_SHA_P384", "TLS_ECDHE_ECDSA_WITH_AES_256_CBC_SHA_P521",
            "TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA_P256", "TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA_P384",
            "TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA_P521", "TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA_P256",
            "TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA_P384", "TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA_P521",
            "TLS_DHE_DSS_WITH_AES_128_CBC_SHA", "TLS_DHE_DSS_WITH_AES_256_CBC_SHA",
            "TLS_DHE_DSS_WITH_3DES_EDE_CBC_SHA", "TLS_RSA_WITH_RC4_128_MD5"],
        # (the table also lists TLS_RSA_WITH_NULL_MD5/_SHA, yet the same page names them "not present by default")
        "tls13_suites": [],
        "groups": ["P-256", "P-384", "P-521"],  # from the _P256/_P384/_P521 suffixes
        "sigalgs": None,  # no TLS 1.2 on Vista
        "sources": ["TLS Cipher Suites in Windows Vista " + _LEARN + "schannel-cipher-suites-in-windows-vista",
                    PROTOCOLS_PAGE],
        # KB3140245 names Windows 7 SP1, 2008 R2 SP1 and Server 2012 only; no WinHTTP change for Vista was found.
        "changes": [],
    },
    {   # Option Flags: "Windows 8 and Windows 7. By default, only SSL3 and TLS1 are enabled." (SSL 3.0 also offered)
        # Protocols page: Windows 7 TLS 1.1/1.2 client "Disabled" (Schannel DisabledByDefault).
        "name": "7",
        "protocols": ["TLSv1"],
        # Page order as updated through Windows Update by 3042058 ("changes the priority order"); the pre-update
        # order and the KB2992611/KB3042058 pages themselves are not in the stored corpus.
        "suites": _SUITES_7,
        "tls13_suites": [],
        "groups": ["P-256", "P-384"],  # _P521 variants are "supported ... but not enabled by default"
        "sigalgs": None,  # not given by any stored Microsoft page
        "sources": ["TLS Cipher Suites in Windows 7 " + _LEARN + "tls-cipher-suites-in-windows-7",
                    PROTOCOLS_PAGE, OPTION_FLAGS],
        "changes": [
            {"effect": "enables", "short": "KB3140245, DefaultSecureProtocols and Schannel's TLS 1.2 client",
             "needs": "KB3140245; DefaultSecureProtocols=0x00000A00 (DWORD) under HKLM\\SOFTWARE\\Microsoft\\Windows\\"
                      "CurrentVersion\\Internet Settings\\WinHttp (and under SOFTWARE\\Wow6432Node\\... on x64); "
                      "DisabledByDefault=0 under HKLM\\SYSTEM\\CurrentControlSet\\Control\\SecurityProviders\\SCHANNEL"
                      "\\Protocols\\TLS 1.1\\Client and ...\\TLS 1.2\\Client (0xA80 would keep TLS 1.0 as well)",
             "protocols": ["TLSv1.1", "TLSv1.2"], "suites": None,
             "sources": [KB3140245, OPTION_FLAGS, "Transport Layer Security (TLS) registry settings "
                         "https://learn.microsoft.com/en-us/windows-server/security/tls/tls-registry-settings"]},
        ],
    },
    {   # Same WinHTTP default as 7 (SSL 3.0 + TLS 1.0), though Schannel enables TLS 1.1/1.2 client on Windows 8.
        "name": "8",
        "protocols": ["TLSv1"],
        "suites": _HEAD_7_8 + _REST_7_8,  # 3042058 order, as the page says
        "tls13_suites": [],
        "groups": ["P-256", "P-384"],
        "sigalgs": None,
        "sources": ["TLS Cipher Suites in Windows 8 " + _LEARN + "tls-cipher-suites-in-windows-8",
                    PROTOCOLS_PAGE, OPTION_FLAGS],
        # KB3140245 covers Windows Server 2012 but not the Windows 8 client; nothing documented changes WinHTTP's
        # default there. Only an application setting WINHTTP_OPTION_SECURE_PROTOCOLS itself gets TLS 1.1/1.2.
        "changes": [],
    },
    {   # Option Flags: "Windows 11, Windows 10, and Windows 8.1. By default, only SSL3, TLS1.0, TLS1.1, and TLS1.2
        # are enabled."; Protocols page: SSL 3.0 client still Enabled on 8.1, so SSL 3.0 is offered too.
        "name": "8.1",
        "protocols": ["TLSv1", "TLSv1.1", "TLSv1.2"],
        "suites": _SUITES_7,  # page order after update 2919355 ("adds the new cipher suites and changes the priority")
        "tls13_suites": [],
        "groups": ["P-256", "P-384"],
        "sigalgs": None,
        "sources": ["TLS Cipher Suites in Windows 8.1 " + _LEARN + "tls-cipher-suites-in-windows-8-1",
                    PROTOCOLS_PAGE, OPTION_FLAGS],
        "changes": [],
    },
    {   # Windows 10 22H2 uses "TLS Cipher Suites in Windows 10 v22H2" (DHE and 3DES moved to "not enabled").
        # Schannel SSL 3.0 client is Disabled from 1607 on (Protocols page), so no SSL 3.0.
        "name": "10",
        # Option Flags gives TLS 1.0 to 1.2; KB5017811: "In the September 20, 2022 preview update, we will disable TLS
        # 1.0 and 1.1 by default for applications based on winhttp and wininet" (they then fail with
        # ERROR_WINHTTP_SECURE_FAILURE). Its Applies-to names 20H2/21H1/21H2. TLS 1.3 is not supported before 11.
        "protocols": ["TLSv1.2"],
        "suites": _SUITES_10_11,
        "tls13_suites": [],
        "groups": ["X25519", "P-256", "P-384"],  # curve25519, NistP256, NistP384 in that order
        "sigalgs": None,
        "sources": ["TLS Cipher Suites in Windows 10 v22H2 " + _LEARN + "tls-cipher-suites-in-windows-10-v22h2",
                    "TLS Elliptic Curves in Windows 10 version 1607 and later " + _LEARN
                    + "tls-elliptic-curves-in-windows-10-1607-and-later", PROTOCOLS_PAGE, OPTION_FLAGS],
        "changes": [dict(TURNED_BACK_ON, protocols=["TLSv1", "TLSv1.1", "TLSv1.2"])],
    },
    {   # "TLS Cipher Suites in Windows 11 v22H2 and later". The older "Windows 11" (21H2) page also enabled
        # TLS_DHE_RSA_WITH_AES_256/128_GCM (after the ECDHE_RSA GCM pair) and TLS_RSA_WITH_3DES_EDE_CBC_SHA (last).
        # Protocols page: Windows 11 TLS 1.0-1.3 client Enabled; SSL 3.0 client Disabled.
        # The pages disagree on TLS 1.3: the Protocols page enables it for Windows 11's clients, while Option Flags
        # says of WinHTTP on "Windows 11, Windows 10, and Windows 8.1" that "only SSL3, TLS1.0, TLS1.1, and TLS1.2
        # are enabled" by default. The row offers TLS 1.3 as Schannel does; the change below stands for the Option
        # Flags page, so a server that speaks TLS 1.3 alone is a warning here, never a plain ok.
        "name": "11",
        # TLS 1.0 and 1.1 off as on 10 (KB5017811; the blog below: "disabled by default in the operating system").
        "protocols": ["TLSv1.2", "TLSv1.3"],
        "suites": _SUITES_10_11,
        "tls13_suites": ["TLS_AES_256_GCM_SHA384", "TLS_AES_128_GCM_SHA256"],  # CHACHA20 not enabled by default
        "groups": ["X25519", "P-256", "P-384"],  # 24H2 groups page: curve25519, nistP256, nistP384; ML-KEM off
        "sigalgs": None,
        "sources": ["TLS Cipher Suites in Windows 11 v22H2 and later " + _LEARN
                    + "tls-cipher-suites-in-windows-11-v22h2",
                    "TLS Cipher Suites in Windows 11 " + _LEARN + "tls-cipher-suites-in-windows-11",
                    "TLS Supported Groups in Windows 11 version 24H2, Windows Server 2025, and later (stored "
                    "learn.microsoft.com copy, address not kept)", PROTOCOLS_PAGE, OPTION_FLAGS],
        "changes": [
            # "TLS versions 1.0 and 1.1 will soon be disabled by default in the operating system, starting with
            # Windows 11 Insider Preview builds in September 2023 and future Windows OS releases."
            dict(TURNED_BACK_ON, protocols=["TLSv1", "TLSv1.1", "TLSv1.2", "TLSv1.3"], sources=[
                KB5017811, "TLS 1.0 and TLS 1.1 soon to be disabled in Windows (Windows IT Pro Blog) https://"
                "techcommunity.microsoft.com/t5/windows-it-pro-blog/tls-1-0-and-tls-1-1-soon-to-be-disabled-in-windows/"
                "ba-p/3887947"]),
            {"effect": "disables", "short": "WinHTTP's default as its Option Flags page gives it",
             "warning": "TLS 1.3 only, which WinHTTP's own page says Windows 11 does not offer by default",
             "needs": "nothing: the Option Flags page gives WinHTTP's default on Windows 11 as TLS 1.0 to 1.2, of "
                      "which KB5017811 leaves TLS 1.2",
             "protocols": ["TLSv1.2"], "suites": None, "sources": [OPTION_FLAGS]},
        ],
    },
]

_CURVE_SUFFIX = re.compile(r"_P(256|384|521)$")


def openssl_cipher_list(suites):
    """Microsoft names -> "A:B:C" of OpenSSL names: curve suffix stripped, unknown ones skipped, duplicates
    dropped, order kept."""
    names = []
    for suite in suites:
        name = OPENSSL_NAMES.get(_CURVE_SUFFIX.sub("", suite))
        if name and name not in names:
            names.append(name)
    return ":".join(names)


def unspeakable(suites):
    """The suites of `suites` that OpenSSL 3 cannot offer (3DES, RC4), curve suffix stripped."""
    return [suite for suite in suites if _CURVE_SUFFIX.sub("", suite) not in OPENSSL_NAMES]
