"""Version texts and build information of the imitated server."""
import json

from . import kitconfig

GIT_VERSION = "0000000000000000000000000000000000000000"


def build_info():
    v = kitconfig.version()
    major, minor, patch = kitconfig.version_tuple(v)
    return {
        "version": v,
        "gitVersion": GIT_VERSION,
        "modules": [],
        "allocator": "system",
        "javascriptEngine": "none",
        "sysInfo": "deprecated",
        "versionArray": [major, minor, patch, 0],
        "openssl": {"running": "OpenSSL", "compiled": "OpenSSL"},
        "buildEnvironment": {"distmod": "debian12", "distarch": "x86_64",
                             "target_arch": "x86_64", "target_os": "linux"},
        "bits": 64,
        "debug": False,
        "maxBsonObjectSize": 16 * 1024 * 1024,
        "storageEngines": ["mongokit"],
    }


def version_text(program="db"):
    """What `mongod --version` prints: the 3.2-era text form for versions
    before 3.4, otherwise the "db version" line followed by Build Info JSON."""
    v = kitconfig.version()
    if kitconfig.version_tuple(v) < (3, 4, 0):
        return ("%s version v%s\ngit version: %s\nOpenSSL version: OpenSSL\n"
                "allocator: system\nmodules: none\nbuild environment:\n"
                "    distmod: debian12\n    distarch: x86_64\n    target_arch: x86_64\n"
                % (program, v, GIT_VERSION))
    info = {"version": v, "gitVersion": GIT_VERSION, "modules": [], "allocator": "system",
            "environment": {"distmod": "debian12", "distarch": "x86_64", "target_arch": "x86_64"}}
    return "%s version v%s\nBuild Info: %s\n" % (program, v, json.dumps(info, indent=4))
