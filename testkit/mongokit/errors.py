"""MongoDB error codes and the exception that carries them to a reply."""

# code -> codeName, as servers name them in replies.
CODE_NAMES = {
    1: "InternalError",
    2: "BadValue",
    4: "NoSuchKey",
    6: "HostUnreachable",
    9: "FailedToParse",
    11: "UserNotFound",
    13: "Unauthorized",
    14: "TypeMismatch",
    18: "AuthenticationFailed",
    22: "InvalidBSON",
    26: "NamespaceNotFound",
    40: "ConflictingUpdateOperators",
    43: "CursorNotFound",
    48: "NamespaceExists",
    50: "MaxTimeMSExpired",
    51: "DuplicateKey",
    59: "CommandNotFound",
    66: "ImmutableField",
    72: "InvalidOptions",
    73: "InvalidNamespace",
    74: "NodeNotFound",
    76: "NoReplicationEnabled",
    93: "InvalidReplicaSetConfig",
    94: "NotYetInitialized",
    96: "OperationFailed",
    103: "NewReplicaSetConfigurationIncompatible",
    115: "CommandNotSupported",
    125: "IllegalOperation",
    136: "CappedPositionLost",
    166: "CommandNotSupportedOnView",
    189: "PrimarySteppedDown",
    11000: "DuplicateKey",
    10107: "NotWritablePrimary",
    13435: "NotPrimaryNoSecondaryOk",
    51003: "Location51003",
}


class CommandError(Exception):
    """A command failure that becomes {ok: 0, errmsg, code, codeName}."""

    def __init__(self, code, errmsg, code_name=None, extra=None):
        super().__init__(errmsg)
        self.code = code
        self.errmsg = errmsg
        self.code_name = code_name or CODE_NAMES.get(code, "Location%d" % code)
        self.extra = extra or {}

    def to_reply(self):
        reply = {"ok": 0.0, "errmsg": self.errmsg, "code": self.code,
                 "codeName": self.code_name}
        reply.update(self.extra)
        return reply


class ProtocolError(Exception):
    """A malformed wire message: the connection is closed, as servers do."""


class ShutdownRequested(Exception):
    """Raised by the shutdown command: its connection closes unanswered."""
