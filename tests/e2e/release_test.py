"""What the release engineers ship: scripts/release builds, signs and checks
an exe that imports only KnownDLLs, comes out byte for byte the same from
another folder, is trusted by osslsigncode and by Windows itself, and
installs; without a certificate it refuses."""
import datetime
import hashlib
import os
import re
import shutil
import struct
import subprocess
import time

import pytest
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.hazmat.primitives.serialization import pkcs12
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

import harness
from conftest import serve

# In KnownDLLs on every Windows from 7 to 11, so never looked for beside the
# exe. Anything else must be delay-loaded from the system folder.
KNOWN_DLLS = {"advapi32.dll", "comdlg32.dll", "gdi32.dll", "imm32.dll", "kernel32.dll", "msctf.dll", "msvcrt.dll",
              "normaliz.dll", "ole32.dll", "oleaut32.dll", "psapi.dll", "rpcrt4.dll", "sechost.dll", "setupapi.dll",
              "shell32.dll", "shlwapi.dll", "user32.dll", "ws2_32.dll"}
TRUST_E_NOSIGNATURE, TRUST_E_BAD_DIGEST = 0x800B0100, 0x80096010
PASSWORD = b"release test"


def run_release(source, *options, env=None):
    return subprocess.run([os.path.join(source, "scripts", "release"), *options], capture_output=True, text=True,
                          env=dict(os.environ, **(env or {})), timeout=600)


def signer(folder):
    """A code-signing certificate from the test CA that every prefix trusts,
    with its chain, as a PKCS#12 file and a password file."""
    paths = harness.certificates()
    with open(paths["ca_pem"], "rb") as pem, open(paths["ca_key"], "rb") as key:
        ca = x509.load_pem_x509_certificate(pem.read())
        ca_key = serialization.load_pem_private_key(key.read(), None)
    key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    now = datetime.datetime.now(datetime.timezone.utc)
    certificate = (x509.CertificateBuilder()
                   .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "Tarvex release test")]))
                   .issuer_name(ca.subject).public_key(key.public_key()).serial_number(x509.random_serial_number())
                   .not_valid_before(now - datetime.timedelta(days=1)).not_valid_after(now + datetime.timedelta(days=30))
                   .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.CODE_SIGNING]), critical=False)
                   .sign(ca_key, hashes.SHA256()))
    bundle = pkcs12.serialize_key_and_certificates(b"signer", key, certificate, [ca],
                                                   serialization.BestAvailableEncryption(PASSWORD))
    files = {"--pkcs12": os.path.join(folder, "signer.p12"), "--password-file": os.path.join(folder, "password")}
    for path, content in zip(files.values(), (bundle, PASSWORD)):
        with open(path, "wb") as out:
            out.write(content)
    return files


@pytest.fixture(scope="module")
def releases():
    """Two copies of the sources in different folders, each released with
    the same certificate and signing time, and the first unsigned as well."""
    root = os.path.join(harness.build_dir(), "release-test")
    shutil.rmtree(root, ignore_errors=True)
    copies = [os.path.join(root, name) for name in ("a", "a-second-copy-in-a-longer-folder")]
    for copy in copies:
        shutil.copytree(harness.source_dir(), copy, ignore=shutil.ignore_patterns("build", "dist", "__pycache__"))
    certificate = signer(root)
    hosts = ["--download-host", os.environ["TARVEX_DOWNLOAD_HOST"], "--support-host", os.environ["TARVEX_SUPPORT_HOST"]]
    refused = run_release(copies[0], *hosts)
    results = {"refused": refused, "refused_dist": os.path.exists(os.path.join(copies[0], "dist"))}
    signing_time = {"SOURCE_DATE_EPOCH": str(int(time.time()))}
    for index, copy in enumerate(copies):
        result = run_release(copy, *hosts, *[item for pair in certificate.items() for item in pair], env=signing_time)
        assert result.returncode == 0, result.stdout + result.stderr
        results[index] = shutil.copy(os.path.join(copy, "dist", "tarvex-installer.exe"),
                                     os.path.join(root, "signed-%d.exe" % index))
    unsigned = run_release(copies[1], *hosts, "--unsigned")
    assert unsigned.returncode == 0, unsigned.stdout + unsigned.stderr
    results.update(root=root, copies=copies, unsigned=os.path.join(copies[1], "dist", "tarvex-installer.exe"),
                   chain=harness.certificates()["ca_pem"])
    yield results
    shutil.rmtree(root, ignore_errors=True)


def read(path):
    with open(path, "rb") as file:
        return file.read()


def test_refuses_to_release_unsigned_by_accident(releases):
    refused = releases["refused"]
    assert refused.returncode != 0
    assert "no signing certificate" in refused.stderr and "--unsigned" in refused.stderr
    assert not releases["refused_dist"], "dist/ was made"


def test_two_releases_from_different_folders_are_identical_and_listed(releases):
    signed = read(releases[0])
    print("sha256 %s" % hashlib.sha256(signed).hexdigest())
    assert signed == read(releases[1])
    sums = read(os.path.join(releases["copies"][1], "dist", "SHA256SUMS")).decode()
    assert sums == "%s  tarvex-installer.exe\n" % hashlib.sha256(read(releases["unsigned"])).hexdigest()


def test_signing_adds_only_the_certificate_table(releases):
    signed, unsigned = read(releases[0]), read(releases["unsigned"])
    pe = struct.unpack_from("<I", unsigned, 0x3C)[0]
    checksum, security = pe + 24 + 64, pe + 24 + 112 + 4 * 8  # PE32+ optional header offsets
    table_offset, table_size = struct.unpack_from("<II", signed, security)
    assert table_offset >= len(unsigned) and table_offset + table_size == len(signed)
    masked = lambda data: data[:checksum] + data[checksum + 4:security] + data[security + 8:len(unsigned)]  # noqa: E731
    assert masked(signed) == masked(unsigned)
    assert signed[len(unsigned):table_offset].strip(b"\0") == b""


def test_the_release_imports_only_known_dlls_and_is_a_64_bit_gui_program_for_windows_6_0(releases):
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", releases[0]], check=True, capture_output=True,
                          text=True).stdout
    imported = {name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)}
    assert imported and imported <= KNOWN_DLLS, imported - KNOWN_DLLS
    assert "pei-x86-64" in dump
    for field in (r"Subsystem\s+00000002", r"MajorSubsystemVersion\s+6\n", r"MinorSubsystemVersion\s+0\n",
                  r"Time/Date\s+Thu Jan  1 00:00:00 1970"):
        assert re.search(field, dump), field


def test_osslsigncode_and_windows_trust_the_signature_and_nothing_else(releases, prefix, server, workdir):
    tampered = os.path.join(releases["root"], "tampered.exe")
    data = bytearray(read(releases[0]))
    data[0x1000] ^= 0xFF
    with open(tampered, "wb") as out:
        out.write(data)
    verify = lambda exe: subprocess.run(["osslsigncode", "verify", "-CAfile", releases["chain"], "-in", exe],  # noqa: E731
                                        capture_output=True).returncode
    assert verify(releases[0]) == 0
    assert verify(tampered) != 0

    trust = lambda exe: prefix.probe("trust", prefix.windows_path(exe))["result"]  # noqa: E731
    assert trust(releases[0]) == 0
    assert trust(tampered) == TRUST_E_BAD_DIGEST
    assert trust(releases["unsigned"]) == TRUST_E_NOSIGNATURE

    serve(server, {"file": harness.exe("setup_standin")})
    process = prefix.start([releases[0]], cwd=workdir, env={"TARVEX_STANDIN_WAIT_MS": "0"})
    assert harness.wait_for_exit(process, 60) == 0
    assert os.path.exists(os.path.join(workdir, "setup-standin.json")), "the signed installer did not install"
