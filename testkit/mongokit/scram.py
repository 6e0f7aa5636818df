"""SCRAM-SHA-1 and SCRAM-SHA-256 as MongoDB does them (RFC 5802/7677).

SCRAM-SHA-1 hashes MongoDB's password digest, hex(md5("user:mongo:pwd")),
instead of the password itself; SCRAM-SHA-256 uses the SASLprep'd password.
Only derived keys are ever stored.
"""
import base64
import hashlib
import hmac
import os
import unicodedata

from .errors import CommandError

MECHANISMS = {
    "SCRAM-SHA-1": ("sha1", 10000),
    "SCRAM-SHA-256": ("sha256", 15000),
}


def saslprep(text):
    mapped = "".join(" " if unicodedata.category(c) == "Zs" else c
                     for c in text if c not in "\u00ad\u200b\u2060\ufeff")
    return unicodedata.normalize("NFKC", mapped)


def _password_input(mechanism, user, password):
    if mechanism == "SCRAM-SHA-1":
        return hashlib.md5(("%s:mongo:%s" % (user, password)).encode()).hexdigest().encode()
    return saslprep(password).encode("utf-8")


def _hmac(algo, key, msg):
    return hmac.new(key, msg, algo).digest()


def salted_password(mechanism, user, password, salt, iterations):
    algo = MECHANISMS[mechanism][0]
    return hashlib.pbkdf2_hmac(algo, _password_input(mechanism, user, password), salt, iterations)


def make_credentials(mechanism, user, password):
    """The stored form: {iterationCount, salt, storedKey, serverKey}."""
    algo, iterations = MECHANISMS[mechanism]
    salt = os.urandom(16 if algo == "sha1" else 28)
    salted = salted_password(mechanism, user, password, salt, iterations)
    client_key = _hmac(algo, salted, b"Client Key")
    return {
        "iterationCount": iterations,
        "salt": base64.b64encode(salt).decode(),
        "storedKey": base64.b64encode(hashlib.new(algo, client_key).digest()).decode(),
        "serverKey": base64.b64encode(_hmac(algo, salted, b"Server Key")).decode(),
    }


def _fields(message):
    out = {}
    for part in message.split(","):
        if len(part) >= 2 and part[1] == "=":
            out[part[0]] = part[2:]
    return out


def _auth_failed():
    return CommandError(18, "Authentication failed.")


class ServerConversation:
    """One SCRAM exchange on the server side."""

    def __init__(self, mechanism, lookup):
        """lookup(user) -> stored credentials for this mechanism, or None."""
        if mechanism not in MECHANISMS:
            raise CommandError(2, "Received authentication for mechanism %s which is not "
                               "enabled" % mechanism, "MechanismUnavailable")
        self.mechanism = mechanism
        self.algo = MECHANISMS[mechanism][0]
        self.lookup = lookup
        self.user = None
        self.creds = None
        self.step = 0
        self.done = False

    def start(self, payload):
        text = payload.decode("utf-8", "replace")
        if not text.startswith(("n,", "y,")):
            raise _auth_failed()  # channel binding is not offered
        header_end = text.index(",", 2) + 1
        self.client_first_bare = text[header_end:]
        fields = _fields(self.client_first_bare)
        self.user = fields.get("n", "").replace("=2C", ",").replace("=3D", "=")
        cnonce = fields.get("r")
        self.creds = self.lookup(self.user)
        if not self.creds or not cnonce:
            raise _auth_failed()
        self.nonce = cnonce + base64.b64encode(os.urandom(24)).decode()
        self.server_first = "r=%s,s=%s,i=%d" % (self.nonce, self.creds["salt"],
                                                self.creds["iterationCount"])
        self.step = 1
        return self.server_first.encode()

    def next(self, payload):
        if self.step == 2:
            self.done = True
            return b""
        if self.step != 1:
            raise _auth_failed()
        text = payload.decode("utf-8", "replace")
        fields = _fields(text)
        if fields.get("r") != self.nonce or "p" not in fields:
            raise _auth_failed()
        without_proof = text[:text.rindex(",p=")]
        auth_message = ",".join([self.client_first_bare, self.server_first, without_proof]).encode()
        stored = base64.b64decode(self.creds["storedKey"])
        signature = _hmac(self.algo, stored, auth_message)
        proof = base64.b64decode(fields["p"])
        if len(proof) != len(signature):
            raise _auth_failed()
        client_key = bytes(a ^ b for a, b in zip(proof, signature))
        if not hmac.compare_digest(hashlib.new(self.algo, client_key).digest(), stored):
            raise _auth_failed()
        server_sig = _hmac(self.algo, base64.b64decode(self.creds["serverKey"]), auth_message)
        self.step = 2
        return ("v=" + base64.b64encode(server_sig).decode()).encode()


class ClientConversation:
    """One SCRAM exchange on the client side (the kit's internal client)."""

    def __init__(self, mechanism, user, password):
        self.mechanism = mechanism
        self.algo = MECHANISMS[mechanism][0]
        self.user = user
        self.password = password
        self.cnonce = base64.b64encode(os.urandom(24)).decode()
        name = user.replace("=", "=3D").replace(",", "=2C")
        self.client_first_bare = "n=%s,r=%s" % (name, self.cnonce)

    def first(self):
        return ("n,," + self.client_first_bare).encode()

    def final(self, server_first):
        server_first = server_first.decode()
        fields = _fields(server_first)
        if not fields.get("r", "").startswith(self.cnonce):
            raise CommandError(18, "Authentication failed.")
        salted = salted_password(self.mechanism, self.user, self.password,
                                 base64.b64decode(fields["s"]), int(fields["i"]))
        without_proof = "c=biws,r=" + fields["r"]
        auth_message = ",".join([self.client_first_bare, server_first, without_proof]).encode()
        client_key = _hmac(self.algo, salted, b"Client Key")
        stored = hashlib.new(self.algo, client_key).digest()
        proof = bytes(a ^ b for a, b in zip(client_key, _hmac(self.algo, stored, auth_message)))
        self.expected = base64.b64encode(
            _hmac(self.algo, _hmac(self.algo, salted, b"Server Key"), auth_message)).decode()
        return (without_proof + ",p=" + base64.b64encode(proof).decode()).encode()

    def verify(self, server_final):
        if _fields(server_final.decode()).get("v") != self.expected:
            raise CommandError(18, "Authentication failed.")
