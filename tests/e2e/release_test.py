"""What the release engineers ship: scripts/release refuses without a certificate;
its exe is the same from any folder, imports only KnownDLLs, has its resources,
is trusted by Windows, and installs only setup programs of the publisher it pins."""
import concurrent.futures
import datetime
import hashlib
import os
import re
import shutil
import struct
import subprocess

import pytest
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

import harness

# In KnownDLLs on every Windows from 7 to 11, so never looked for beside the exe.
KNOWN_DLLS = {"advapi32.dll", "comdlg32.dll", "gdi32.dll", "imm32.dll", "kernel32.dll", "msctf.dll", "msvcrt.dll",
              "normaliz.dll", "ole32.dll", "oleaut32.dll", "psapi.dll", "rpcrt4.dll", "sechost.dll", "setupapi.dll",
              "shell32.dll", "shlwapi.dll", "user32.dll", "ws2_32.dll"}
TRUST_E_NOSIGNATURE, TRUST_E_BAD_DIGEST = 0x800B0100, 0x80096010
SIGNING_TIME = "1700000000"
SIGNER = "Tarvex 软件 Ltd"  # the setup programs' publisher, pinned in both releases
START_FAILED = "安装程序启动失败，请检查安装包或联系客服。"


def release(source, *options, **env):
    hosts = ["--download-host", os.environ["TARVEX_DOWNLOAD_HOST"], "--support-host", os.environ["TARVEX_SUPPORT_HOST"]]
    return subprocess.run([os.path.join(source, "scripts", "release"), *hosts, *options], capture_output=True,
                          text=True, env=dict(os.environ, **env), timeout=600)


@pytest.fixture(scope="module")
def releases():
    """Sources in two folders: the first released signed after refusals
    without a certificate and without a word on the time stamp, the second
    unsigned on purpose."""
    root = os.path.join(harness.build_dir(), "release-test")
    shutil.rmtree(root, ignore_errors=True)
    copies = [os.path.join(root, name) for name in ("a", "a-second-copy-in-a-longer-folder")]
    for copy in copies:
        shutil.copytree(os.path.dirname(os.path.dirname(os.path.dirname(__file__))), copy,
                        ignore=shutil.ignore_patterns("build", "dist", "__pycache__"))
    signer = harness.certificates()["ca"].issue_cert("release.test")  # trustme's leaves may sign code
    signer.private_key_and_cert_chain_pem.write_to_path(os.path.join(root, "signer.pem"))
    with open(os.path.join(root, "password"), "w") as password:
        password.write("release test")
    subprocess.run(["openssl", "pkcs12", "-export", "-in", root + "/signer.pem", "-certfile", harness.certificates()[
        "ca_pem"], "-passout", "file:" + password.name, "-out", root + "/signer.p12"], check=True, capture_output=True)
    certificate = ["--pkcs12", root + "/signer.p12", "--password-file", password.name]
    results = {"root": root, "refused": {why: (release(copies[0], *options), os.path.exists(copies[0] + "/dist"))
                                         for why, options in (("no certificate", []), ("no time stamp", certificate))}}
    # Side by side: the builds wait on each other's disk and on nothing else.
    options = ([*certificate, "--no-timestamp"], ["--unsigned"])
    with concurrent.futures.ThreadPoolExecutor() as pool:
        runs = pool.map(lambda copy, chosen: release(copy, *chosen, "--setup-signer", SIGNER,
                                                     SOURCE_DATE_EPOCH=SIGNING_TIME), copies, options)
    for key, copy, result in zip(("signed", "unsigned"), copies, runs):
        assert result.returncode == 0 and 'only setup programs signed by "%s"' % SIGNER in result.stdout, result.stderr
        assert ("UNSIGNED" if key == "unsigned" else "NOT time-stamped, as asked: valid until ") in result.stdout
        results[key] = os.path.join(copy, "dist", "tarvex-installer.exe")
    yield results
    shutil.rmtree(root, ignore_errors=True)


def read(path):
    return open(path, "rb").read()


def test_refuses_to_release_unsigned_or_without_a_word_on_the_time_stamp_and_is_the_same_from_any_folder(releases):
    for why, (result, made_dist) in releases["refused"].items():
        assert result.returncode != 0 and not made_dist, why
    assert "no signing certificate" in releases["refused"]["no certificate"][0].stderr
    assert "--timestamp URL" in releases["refused"]["no time stamp"][0].stderr
    for exe in (releases["signed"], releases["unsigned"]):
        sums = read(os.path.join(os.path.dirname(exe), "SHA256SUMS")).decode()
        assert sums == "%s  tarvex-installer.exe\n" % hashlib.sha256(read(exe)).hexdigest()
    # Without its signature, the signed release is the unsigned one, built in another folder; and the signature is made
    # at the time given, so signing again gives the same bytes.
    bare = os.path.join(releases["root"], "bare.exe")
    subprocess.run(["osslsigncode", "remove-signature", "-in", releases["signed"], "-out", bare], check=True)
    assert read(bare) == read(releases["unsigned"])
    verified = subprocess.run(["osslsigncode", "verify", "-CAfile", harness.certificates()["ca_pem"], "-in",
                               releases["signed"]], capture_output=True, text=True)
    assert verified.returncode == 0 and "Signing time: Nov 14 22:13:20 2023 GMT" in verified.stdout, verified.stdout


def test_the_release_imports_only_known_dlls_and_carries_its_pictures_icon_manifest_and_version(releases, prefix):
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", releases["signed"]], check=True, capture_output=True,
                          text=True).stdout
    imported = {name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)}
    assert imported and imported <= KNOWN_DLLS, imported - KNOWN_DLLS
    for field in ("pei-x86-64", r"Subsystem\s+00000002", r"MajorSubsystemVersion\s+6\n", r"MinorSubsystemVersion\s+0\n",
                  r"Time/Date\s+Thu Jan  1 00:00:00 1970"):
        assert re.search(field, dump), field
    found = prefix.probe("resources", prefix.windows_path(releases["signed"]))
    data = {name: bytes.fromhex(found[name]) for name in ("bitmap", "track", "fill", "icons", "manifest", "version")}
    assert struct.unpack_from("<iiHH", data["bitmap"], 4) == (560, 310, 1, 24)  # width, height, planes, bits
    assert data["track"][:8] == data["fill"][:8] == b"\x89PNG\r\n\x1a\n"
    assert len(data["icons"]) == 20 and struct.unpack_from("<HBB4xH", data["icons"], 4) == (1, 128, 128, 32)
    manifest = data["manifest"].decode()
    assert 'level="requireAdministrator" uiAccess="false"' in manifest
    assert not any(absent in manifest for absent in ("dpiAware", "dependency", "supportedOS", "longPathAware"))
    # The fixed part after its signature: file and product version 1.3.1.0; then the Chinese (Simplified), UTF-16 string
    # table and its translation entry.
    version = data["version"]
    fixed = version.index(struct.pack("<I", 0xFEEF04BD)) + 8
    assert struct.unpack_from("<4I", version, fixed) == (0x10003, 0x10000, 0x10003, 0x10000)
    assert "080404b0".encode("utf-16-le") in version and struct.pack("<HH", 0x0804, 1200) in version
    for key, value in (("FileDescription", "tarvex 数据恢复"), ("ProductName", "tarvex 数据恢复"),
                       ("FileVersion", "1.3.1"), ("ProductVersion", "1.3.1")):
        entry = version.index((key + "\0").encode("utf-16-le"))
        assert (value + "\0").encode("utf-16-le") in version[entry:entry + 2 * len(key) + 8 + 2 * len(value) + 4], key


def from_test_ca(name, usage, pem, **extensions):
    """A key and a certificate for `name` from the test CA, valid from three days ago, with the extended key usage
    `usage` (critical) and further extensions, both into `pem`; the certificate's serial number."""
    ca_paths, now, day = harness.certificates(), datetime.datetime.now(datetime.timezone.utc), datetime.timedelta(1)
    ca = x509.load_pem_x509_certificate(read(ca_paths["ca_pem"]))
    ca_key = serialization.load_pem_private_key(read(ca_paths["ca_key"]), None)
    key, serial = rsa.generate_private_key(65537, 2048), x509.random_serial_number()
    builder = (x509.CertificateBuilder().subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)]))
               .issuer_name(ca.subject).public_key(key.public_key()).serial_number(serial)
               .not_valid_before(now - 3 * day).not_valid_after(now + 30 * day)
               .add_extension(x509.ExtendedKeyUsage([usage]), usage == ExtendedKeyUsageOID.TIME_STAMPING))
    for extension in extensions.values():
        builder = builder.add_extension(extension, False)
    with open(pem, "wb") as out:
        out.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                    serialization.NoEncryption()) +
                  builder.sign(ca_key, hashes.SHA256()).public_bytes(serialization.Encoding.PEM))
    return serial


def revoked_certificate(name, pem, drive_c, revoked_at, crl):
    """A code-signing certificate for `name` from the test CA, which names a revocation list `crl` in C:\\ that lists
    it as revoked at `revoked_at`. Windows would read that list from its cache only; Wine reads the file."""
    ca_paths, now, day = harness.certificates(), datetime.datetime.now(datetime.timezone.utc), datetime.timedelta(1)
    list_at = x509.DistributionPoint([x509.UniformResourceIdentifier("file:///C:/" + crl)], None, None, None)
    serial = from_test_ca(name, ExtendedKeyUsageOID.CODE_SIGNING, pem, lists=x509.CRLDistributionPoints([list_at]))
    revocations = (x509.CertificateRevocationListBuilder()
                   .issuer_name(x509.load_pem_x509_certificate(read(ca_paths["ca_pem"])).subject)
                   .last_update(now - day / 2).next_update(now + 30 * day).add_revoked_certificate(
                       x509.RevokedCertificateBuilder().serial_number(serial).revocation_date(revoked_at).build())
                   .sign(serialization.load_pem_private_key(read(ca_paths["ca_key"]), None), hashes.SHA256()))
    with open(os.path.join(drive_c, crl), "wb") as out:
        out.write(revocations.public_bytes(serialization.Encoding.DER))


def setup_program_signed_by(name, folder, revoked_in=None, revoked_at=None, stamped_at=None):
    """The NSIS setup program, signed by a certificate for `name` from the test CA; one that is revoked at
    `revoked_at` (a day ago unless given), with a revocation list of its own in the drive C: folder `revoked_in`,
    and then time-stamped at `stamped_at` by a time-stamping authority of the test CA when given."""
    now = datetime.datetime.now(datetime.timezone.utc)
    variant = ("-revoked" if revoked_in else "") + ("-stamped%d" % stamped_at.timestamp() if stamped_at else "")
    pem, signed, stamper = (os.path.join(folder, "%s%s.%s" % (name, variant, kind)) for kind in ("pem", "exe", "tsa"))
    if not revoked_in:
        return harness.signed_setup_program(name, signed)
    revoked_certificate(name, pem, revoked_in, revoked_at or now - datetime.timedelta(1), "revoked%s.crl" % variant)
    stamp = []
    if stamped_at:
        from_test_ca("Installer tests time stamps", ExtendedKeyUsageOID.TIME_STAMPING, stamper)
        stamp = ["-TSA-certs", stamper, "-TSA-key", stamper, "-TSA-time", "%d" % stamped_at.timestamp()]
    subprocess.run(["osslsigncode", "sign", "-certs", pem, "-key", pem, "-h", "sha256", *stamp,
                    "-in", harness.exe("nsis-setup"), "-out", signed], check=True, capture_output=True)
    return read(signed)


def test_windows_trusts_the_signature_alone_and_the_signed_exe_installs_only_its_publishers_setup_programs(
        releases, prefix, server, workdir):
    data, tampered = bytearray(read(releases["signed"])), os.path.join(releases["root"], "tampered.exe")
    data[0x1000] ^= 0xFF
    open(tampered, "wb").write(data)
    trust = lambda exe: prefix.probe("trust", prefix.windows_path(exe))["result"]  # noqa: E731
    assert (trust(releases["signed"]), trust(tampered), trust(releases["unsigned"])) == (0, TRUST_E_BAD_DIGEST,
                                                                                  TRUST_E_NOSIGNATURE)

    # Changed after signing, revoked (with a time stamp too, when the revocation came first), or signed under the same
    # CA by a name not exactly the publisher's (unsigned: e2e/calls_test): never started, deleted, the failure dialog.
    now, day = datetime.datetime.now(datetime.timezone.utc), datetime.timedelta(1)
    signed = setup_program_signed_by(SIGNER, releases["root"])
    changed = signed[:0x1000] + bytes([signed[0x1000] ^ 0xFF]) + signed[0x1001:]
    others = [(setup_program_signed_by(name, releases["root"]), 'signed by another publisher, "%s"' % name)
              for name in (SIGNER.upper(), SIGNER + " Hong Kong")]
    for program, reason in [(changed, "signature does not match the file (tampered) (WinVerifyTrust 0x80096010)"),
                            (setup_program_signed_by(SIGNER, releases["root"], prefix.drive_c), "revoked"),
                            (setup_program_signed_by(SIGNER, releases["root"], prefix.drive_c, revoked_at=now - 2 * day,
                                                     stamped_at=now - day), "revoked"), *others]:
        server.serve_channels(program)
        process = prefix.start_installer(workdir, releases["signed"])
        dialog = prefix.dialog("系统提示", wait_ms=30000)
        assert dialog["found"] and dialog["text"].startswith(START_FAILED), reason
        refusal = [line for line in prefix.run_log() if line.startswith("setup program refused: ")]
        assert refusal[0].startswith("setup program refused: " + reason) and os.listdir(workdir) == [], reason
        prefix.dialog("系统提示", press="cancel")
        assert harness.wait_for_exit(process, 20) == 0

    # The publisher's own installs, though nothing says whether it is revoked.
    server.serve_channels(signed)
    assert harness.wait_for_exit(prefix.start_installer(workdir, releases["signed"]), 60) == 0
    assert "setup program signed by \"%s\"" % SIGNER in prefix.run_log()
    assert any(line.startswith("revocation of the setup program's certificates could not be checked (status ")
               for line in prefix.run_log())

    # Also when another process holds the log open: nothing else changes then.
    os.remove(prefix.run_log_path)
    prefix.start([harness.exe("probe"), "hold", prefix.windows_path(prefix.run_log_path), "60000"])
    assert harness.wait_until(lambda: os.path.exists(prefix.run_log_path), 20)
    server.serve_channels(signed)
    process = prefix.start_installer(workdir, releases["signed"], keep_log=True)
    assert harness.wait_for_exit(process, 60) == 0
    assert read(os.path.join(workdir, "tarvex-payload.bin")) == read(harness.exe("nsis-payload.bin"))
    assert prefix.run_log() == [], "written into a log that another process holds"
