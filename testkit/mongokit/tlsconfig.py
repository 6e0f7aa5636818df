"""TLS settings of mongod: the modes, the server context and the context
members use to reach each other. The --ssl* spellings map onto the --tls*
ones."""
import ssl

from .options import OptionsError

_SSL_MODES = {"disabled": "disabled", "allowSSL": "allowTLS", "preferSSL": "preferTLS",
              "requireSSL": "requireTLS"}
_TLS_MODES = ("disabled", "allowTLS", "preferTLS", "requireTLS")


def _setting(options, tls_name, ssl_name):
    value = options.get("net.tls." + tls_name)
    return value if value is not None else options.get("net.ssl." + ssl_name)


def tls_mode(options):
    mode = options.get("net.tls.mode")
    if mode is None:
        ssl_mode = options.get("net.ssl.mode")
        if ssl_mode is None:
            return "disabled"
        if ssl_mode not in _SSL_MODES:
            raise OptionsError("Invalid sslMode: %s" % ssl_mode)
        return _SSL_MODES[ssl_mode]
    if mode not in _TLS_MODES:
        raise OptionsError("Invalid tlsMode: %s" % mode)
    return mode


def server_context(options):
    """(mode, SSLContext or None). Raises OptionsError for unusable settings."""
    mode = tls_mode(options)
    if mode == "disabled":
        return mode, None
    cert = _setting(options, "certificateKeyFile", "PEMKeyFile")
    if not cert:
        raise OptionsError("need tlsCertificateKeyFile or certificateSelector when TLS is enabled")
    ca = _setting(options, "CAFile", "CAFile")
    if not ca:
        raise OptionsError("The use of TLS without specifying a chain of trust is no longer "
                           "supported. Please specify a tlsCAFile.")
    password = _setting(options, "certificateKeyFilePassword", "PEMKeyPassword")
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    try:
        ctx.load_cert_chain(cert, password=password)
        ctx.load_verify_locations(ca)
    except (OSError, ssl.SSLError) as exc:
        raise OptionsError("cannot read TLS files: %s" % exc)
    no_cert_ok = _setting(options, "allowConnectionsWithoutCertificates",
                          "allowConnectionsWithoutCertificates")
    invalid_ok = _setting(options, "allowInvalidCertificates", "allowInvalidCertificates")
    if invalid_ok:
        ctx.verify_mode = ssl.CERT_NONE
    else:
        ctx.verify_mode = ssl.CERT_OPTIONAL if no_cert_ok else ssl.CERT_REQUIRED
    return mode, ctx


def member_client_context(options):
    """The context for connections to other members, or None without TLS."""
    mode = tls_mode(options)
    if mode in ("disabled", "allowTLS"):
        return None
    ca = _setting(options, "CAFile", "CAFile")
    ctx = ssl.create_default_context(cafile=ca)
    cert = _setting(options, "clusterFile", "clusterFile") or \
        _setting(options, "certificateKeyFile", "PEMKeyFile")
    password = _setting(options, "certificateKeyFilePassword", "PEMKeyPassword")
    ctx.load_cert_chain(cert, password=password)
    if _setting(options, "allowInvalidHostnames", "allowInvalidHostnames"):
        ctx.check_hostname = False
    if _setting(options, "allowInvalidCertificates", "allowInvalidCertificates"):
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
    return ctx


def member_client_options(options):
    """The same settings as pymongo client options (a router's connections
    to config servers and shards); empty without TLS."""
    mode = tls_mode(options)
    if mode in ("disabled", "allowTLS"):
        return {}
    kwargs = {"tls": True, "tlsCAFile": _setting(options, "CAFile", "CAFile"),
              "tlsCertificateKeyFile": _setting(options, "clusterFile", "clusterFile") or
              _setting(options, "certificateKeyFile", "PEMKeyFile")}
    password = _setting(options, "certificateKeyFilePassword", "PEMKeyPassword")
    if password:
        kwargs["tlsCertificateKeyFilePassword"] = password
    if _setting(options, "allowInvalidHostnames", "allowInvalidHostnames"):
        kwargs["tlsAllowInvalidHostnames"] = True
    if _setting(options, "allowInvalidCertificates", "allowInvalidCertificates"):
        kwargs["tlsAllowInvalidCertificates"] = True
    return kwargs
