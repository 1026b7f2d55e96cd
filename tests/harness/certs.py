#!/usr/bin/env python3
"""Test certificate authority for the HTTPS test server and the Wine client tests.

ensure_certs(directory) creates, once, with the openssl CLI:
  ca.pem / ca.key / ca.der        trusted test root (DER form for the Wine root store)
  localhost.pem / localhost.key   DNS:localhost, signed by ca
  othername.pem / othername.key   DNS:other.invalid, signed by ca (wrong host name)
  untrusted-ca.pem / .key         a second root nobody trusts
  untrusted.pem / untrusted.key   DNS:localhost, signed by untrusted-ca
and returns {"ca_pem": path, ...} (see FILES). Later calls reuse the set while it
is complete, unmodified and not close to expiry.

CLI: python3 certs.py DIR   -> prints the path dict as JSON.
"""

import datetime
import fcntl
import hashlib
import json
import os
import secrets
import shutil
import subprocess
import sys
import tempfile

# dict key -> file name
FILES = {
    "ca_pem": "ca.pem",
    "ca_key": "ca.key",
    "ca_der": "ca.der",
    "localhost_pem": "localhost.pem",
    "localhost_key": "localhost.key",
    "othername_pem": "othername.pem",
    "othername_key": "othername.key",
    "untrusted_ca_pem": "untrusted-ca.pem",
    "untrusted_ca_key": "untrusted-ca.key",
    "untrusted_pem": "untrusted.pem",
    "untrusted_key": "untrusted.key",
}

# Records a hash of every file: a set half-replaced by a crashed writer, or
# edited by hand, is detected and regenerated instead of silently mismatching.
MANIFEST = "certs-manifest.json"
LOCK = ".certs.lock"
VALID_DAYS = 3650
# Regenerate well before expiry so a long test run never crosses it.
RENEW_MARGIN = datetime.timedelta(days=30)

_CONFIG = """\
[ ca ]
default_ca = testca

[ testca ]
dir = {dir}
database = $dir/index.txt
new_certs_dir = $dir/issued
serial = $dir/serial
default_md = sha256
policy = policy_any
unique_subject = no
email_in_dn = no
copy_extensions = none

[ policy_any ]
organizationName = optional
commonName = supplied
organizationalUnitName = optional

[ v3_ca ]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash

[ v3_localhost ]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid,issuer

[ v3_othername ]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:other.invalid
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid,issuer
"""


def _openssl(*args, cwd=None):
    proc = subprocess.run(["openssl", *args], cwd=cwd, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError("openssl %s failed: %s" % (args[0], proc.stderr.strip()))
    return proc.stdout


def _asn1_time(moment):
    return moment.strftime("%Y%m%d%H%M%SZ")


def _sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def _paths(directory):
    return {key: os.path.join(directory, name) for key, name in FILES.items()}


def _is_valid(directory):
    try:
        with open(os.path.join(directory, MANIFEST)) as f:
            manifest = json.load(f)
        for name in FILES.values():
            if _sha256(os.path.join(directory, name)) != manifest["sha256"][name]:
                return False
        not_after = datetime.datetime.fromisoformat(manifest["not_after"])
    except (OSError, ValueError, KeyError, TypeError):
        return False
    return not_after - RENEW_MARGIN > datetime.datetime.now(datetime.timezone.utc)


def _generate(work):
    """Build the whole set inside `work` (a private temp directory)."""
    with open(os.path.join(work, "openssl.cnf"), "w") as f:
        f.write(_CONFIG.format(dir=work))
    os.mkdir(os.path.join(work, "issued"))
    open(os.path.join(work, "index.txt"), "w").close()
    # Backdated a day so clock or time-zone skew in Wine never makes them "not yet valid".
    start = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0) - datetime.timedelta(days=1)
    end = start + datetime.timedelta(days=VALID_DAYS)
    # A random tag keeps roots from different runs distinct in a shared Wine
    # root store, where several "Test Root CA" entries would be ambiguous.
    tag = secrets.token_hex(4)

    def key(name):
        _openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048",
                 "-out", name, cwd=work)

    def sign(csr_subject, key_name, out, extensions, ca_cert, ca_key):
        _openssl("req", "-new", "-key", key_name, "-subj", csr_subject, "-out", out + ".csr", cwd=work)
        args = ["ca", "-batch", "-config", "openssl.cnf", "-notext", "-rand_serial",
                "-startdate", _asn1_time(start), "-enddate", _asn1_time(end),
                "-extensions", extensions, "-keyfile", ca_key, "-in", out + ".csr", "-out", out]
        args += ["-selfsign"] if ca_cert is None else ["-cert", ca_cert]
        _openssl(*args, cwd=work)

    for ca_name, label in (("ca", "Installer Test Root CA"), ("untrusted-ca", "Untrusted Test CA")):
        key(ca_name + ".key")
        sign("/O=Installer tests/CN=%s %s" % (label, tag), ca_name + ".key", ca_name + ".pem",
             "v3_ca", None, ca_name + ".key")
    _openssl("x509", "-in", "ca.pem", "-outform", "DER", "-out", "ca.der", cwd=work)

    for leaf, ext, ca_name in (("localhost", "v3_localhost", "ca"),
                               ("othername", "v3_othername", "ca"),
                               ("untrusted", "v3_localhost", "untrusted-ca")):
        cn = "other.invalid" if leaf == "othername" else "localhost"
        key(leaf + ".key")
        sign("/CN=" + cn, leaf + ".key", leaf + ".pem", ext, ca_name + ".pem", ca_name + ".key")

    # Sanity check before publishing: each leaf must chain to its own root.
    for leaf, ca_name in (("localhost", "ca"), ("othername", "ca"), ("untrusted", "untrusted-ca")):
        _openssl("verify", "-CAfile", ca_name + ".pem", leaf + ".pem", cwd=work)
    return end


def ensure_certs(directory):
    """Create (or reuse) the certificate set in `directory`; return the path dict."""
    directory = os.path.abspath(directory)
    os.makedirs(directory, exist_ok=True)
    paths = _paths(directory)
    with open(os.path.join(directory, LOCK), "a") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if _is_valid(directory):
            return paths
        work = tempfile.mkdtemp(prefix=".certs-", dir=directory)
        try:
            not_after = _generate(work)
            manifest = {"not_after": not_after.isoformat(),
                        "sha256": {name: _sha256(os.path.join(work, name)) for name in FILES.values()}}
            with open(os.path.join(work, MANIFEST), "w") as f:
                json.dump(manifest, f, indent=1)
            # Manifest goes first (removed) and last (published) so a crash in
            # between leaves an invalid set that the next caller regenerates.
            try:
                os.unlink(os.path.join(directory, MANIFEST))
            except FileNotFoundError:
                pass
            for name in FILES.values():
                os.replace(os.path.join(work, name), os.path.join(directory, name))
            os.replace(os.path.join(work, MANIFEST), os.path.join(directory, MANIFEST))
        finally:
            shutil.rmtree(work, ignore_errors=True)
    return paths


def main(argv):
    if len(argv) != 2:
        print("usage: certs.py DIR", file=sys.stderr)
        return 2
    print(json.dumps(ensure_certs(argv[1]), indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
