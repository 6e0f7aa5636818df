"""Throw-away TLS material for tests: a CA, a member certificate (server and
client use, with IP and DNS names), a client certificate, and the same
client key encrypted with a password kept in a 0600 file. Made with the
openssl command; keys never leave files of mode 0600."""
import os
import secrets
import socket
import subprocess
import tempfile

OPENSSL = "/usr/bin/openssl"


def _run(args, cwd):
    proc = subprocess.run([OPENSSL] + args, cwd=cwd, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True)
    if proc.returncode != 0:
        raise RuntimeError("openssl %s failed: %s" % (args[0], proc.stdout.strip()))


def _private(path):
    os.chmod(path, 0o600)


def _write(path, text, secret=False):
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600 if secret else 0o644)
    with os.fdopen(fd, "w") as f:
        f.write(text)


def _signed(name, cn, sans, usage, out_dir, work):
    key = os.path.join(work, name + ".key")
    csr = os.path.join(work, name + ".csr")
    crt = os.path.join(work, name + ".crt")
    ext = os.path.join(work, name + ".ext")
    _run(["req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
          "-keyout", key, "-out", csr, "-subj", "/CN=%s/O=mongokit test" % cn], work)
    lines = ["basicConstraints=CA:FALSE", "keyUsage=digitalSignature,keyEncipherment",
             "extendedKeyUsage=%s" % usage]
    if sans:
        lines.append("subjectAltName=" + ",".join(sans))
    _write(ext, "\n".join(lines) + "\n")
    _run(["x509", "-req", "-in", csr, "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
          "-out", crt, "-days", "3650", "-extfile", ext], out_dir)
    pem = os.path.join(out_dir, name + ".pem")
    with open(crt) as c, open(key) as k:
        _write(pem, c.read() + k.read(), secret=True)
    return pem, key


def make_certificates(out_dir, ips=(), hosts=()):
    """Creates ca.pem, server.pem, client.pem, client-encrypted.pem and
    client-key-password (mode 0600) in out_dir; returns their paths."""
    os.makedirs(out_dir, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=out_dir) as work:
        _run(["req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
              "-nodes", "-keyout", "ca.key", "-out", "ca.pem", "-days", "3650",
              "-subj", "/CN=mongokit test CA",
              "-addext", "basicConstraints=critical,CA:TRUE",
              "-addext", "keyUsage=critical,keyCertSign,cRLSign"], out_dir)
        _private(os.path.join(out_dir, "ca.key"))
        all_ips = ["127.0.0.1"] + [ip for ip in ips if ip != "127.0.0.1"]
        names = ["localhost", socket.gethostname()] + [h for h in hosts]
        sans = ["IP:%s" % ip for ip in all_ips] + ["DNS:%s" % h for h in dict.fromkeys(names)]
        server, _ = _signed("server", "localhost", sans, "serverAuth,clientAuth", out_dir, work)
        client, client_key = _signed("client", "client", [], "clientAuth", out_dir, work)
        password_file = os.path.join(out_dir, "client-key-password")
        _write(password_file, secrets.token_hex(12) + "\n", secret=True)
        encrypted_key = os.path.join(work, "client-encrypted.key")
        _run(["pkey", "-in", client_key, "-aes256", "-passout", "file:" + password_file,
              "-out", encrypted_key], work)
        encrypted = os.path.join(out_dir, "client-encrypted.pem")
        with open(os.path.join(work, "client.crt")) as c, open(encrypted_key) as k:
            _write(encrypted, c.read() + k.read(), secret=True)
    serial = os.path.join(out_dir, "ca.srl")
    if os.path.exists(serial):
        os.unlink(serial)
    return {"caFile": os.path.join(out_dir, "ca.pem"), "serverPem": server,
            "clientPem": client, "clientEncryptedPem": encrypted,
            "clientKeyPasswordFile": password_file}
