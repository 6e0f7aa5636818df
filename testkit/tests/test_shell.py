"""The mongo shell stand-in, driven with the command lines tools use."""
import unittest

from tests import kit
from mongokit.certs import make_certificates

IP = "127.0.0.21"
PING = "db.runCommand({ ping:1 })"


def shell_line(port, script, extra="", password=None, quiet=True, bin_dir=None):
    """The shell line the module's tool runner builds."""
    line = '"%s" --port %d --host %s%s --eval "%s"%s 2>&1' % (
        kit.tool("mongo", bin_dir), port, IP, " --quiet" if quiet else "", script, extra)
    if password is not None:
        line += " -u admin --authenticationDatabase admin -p \"\" <<'EOF'\n%s\nEOF\n" % password
    return line


class ShellTest(kit.KitTestCase):
    def test_ping_on_a_stand_alone_prints_the_banner_and_one_line(self):
        port, _, _ = self.start_mongod(ip=IP)
        out = kit.sh(shell_line(port, PING, quiet=False))
        self.assertEqual(out.returncode, 0)
        lines = out.stdout.splitlines()
        self.assertEqual(lines[0], "MongoDB shell version v4.4.6")
        self.assertEqual(lines[1], "connecting to: mongodb://%s:%d/?compressors=disabled&"
                         "gssapiServiceName=mongodb" % (IP, port))
        self.assertEqual(lines[2], "MongoDB server version: 4.4.6")
        self.assertEqual(lines[3:], ['{ "ok" : 1 }'])

    def start_solo_set(self, bin_dir=None):
        port, _, _ = self.start_mongod(ip=IP, extra=["--replSet", "solo"], bin_dir=bin_dir)
        c = self.client(IP, port)
        c.admin.command("replSetInitiate", {"_id": "solo", "members": [
            {"_id": 0, "host": "%s:%d" % (IP, port)}]})
        kit.wait_for(lambda: c.admin.command("isMaster")["ismaster"], what="primary")
        return port

    def test_imitated_3_2_member_answers_without_cluster_time(self):
        tools = kit.make_tool_dir(self.path("tools"), version="3.2.22")
        port = self.start_solo_set(bin_dir=tools)
        out = kit.sh(shell_line(port, PING, quiet=False, bin_dir=tools))
        self.assertEqual(out.returncode, 0)
        self.assertEqual(out.stdout, "MongoDB shell version: 3.2.22\nconnecting to: %s:%d/test\n"
                         '{ "ok" : 1 }\n' % (IP, port))

    def test_ping_on_a_replica_set_member_shows_shell_types(self):
        port = self.start_solo_set()
        out = kit.sh(shell_line(port, PING))
        self.assertEqual(out.returncode, 0)
        text = out.stdout
        self.assertTrue(text.startswith('{\n\t"ok" : 1,\n\t"$clusterTime" : {\n'
                                        '\t\t"clusterTime" : Timestamp('), text)
        self.assertIn('\t\t\t"hash" : BinData(0,"AAAAAAAAAAAAAAAAAAAAAAAAAAA="),\n'
                      '\t\t\t"keyId" : NumberLong(0)\n', text)
        self.assertRegex(text, r'\t"operationTime" : Timestamp\(\d+, \d+\)\n}\n$')

    def test_password_prompt_reads_standard_input(self):
        port, _, _ = self.start_mongod(ip=IP, extra=["--auth"])
        self.client(IP, port).admin.command("createUser", "admin", pwd="s3cret", roles=["root"])
        good = kit.sh(shell_line(port, PING, password="s3cret"))
        self.assertEqual(good.returncode, 0, good.stdout)
        self.assertEqual(good.stdout, 'Enter password: \n{ "ok" : 1 }\n')
        bad = kit.sh(shell_line(port, PING, password="wrong"))
        self.assertNotEqual(bad.returncode, 0)
        self.assertIn("Error: Authentication failed.", bad.stdout)
        self.assertNotIn("wrong", bad.stdout)

    def test_refusals(self):
        port, _, _ = self.start_mongod(ip=IP)
        cases = [
            ("unknown script", shell_line(port, "db.dropDatabase()"), "uncaught exception"),
            ("unknown name", shell_line(port, "foo()"), "ReferenceError: foo is not defined"),
            ("balancer on a mongod", shell_line(port, "sh.getBalancerState()"),
             "not connected to a mongos"),
            ("nothing listening", shell_line(kit.free_port(IP), PING),
             "couldn't connect to server"),
        ]
        for name, line, text in cases:
            with self.subTest(name):
                out = kit.sh(line)
                self.assertNotEqual(out.returncode, 0)
                self.assertIn(text, out.stdout)

    def test_tls_option_spellings(self):
        certs = make_certificates(self.path("certs"), ips=[IP])
        port, _, _ = self.start_mongod(ip=IP, extra=[
            "--tlsMode", "requireTLS", "--tlsCertificateKeyFile", certs["serverPem"],
            "--tlsCAFile", certs["caFile"]])
        with open(certs["clientKeyPasswordFile"]) as f:
            key_password = f.read().strip()
        spellings = [
            ' --ssl --sslCAFile "%s" --sslPEMKeyFile "%s"' % (certs["caFile"], certs["clientPem"]),
            ' --tls --tlsCAFile "%s" --tlsCertificateKeyFile "%s" --tlsCertificateKeyFilePassword'
            ' "%s"' % (certs["caFile"], certs["clientEncryptedPem"], key_password),
        ]
        for extra in spellings:
            with self.subTest(extra=extra[:8]):
                out = kit.sh(shell_line(port, PING, extra=extra))
                self.assertEqual((out.returncode, out.stdout), (0, '{ "ok" : 1 }\n'))
        out = kit.sh(shell_line(port, PING, extra=' --ssl --sslCAFile "%s"' % certs["caFile"]))
        self.assertEqual(out.returncode, 1)
        self.assertIn("couldn't connect to server", out.stdout)


if __name__ == "__main__":
    unittest.main()
