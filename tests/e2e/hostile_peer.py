"""A hostile contact for the end-to-end tests: a client of the driver's wire
format (docs/driver-protocol.md) that registers the application and speaks
hand-made tunnel packets on its streams."""
import socket
import struct
import time

APP = "QuillonForFtp2000"
HEADER = struct.Struct("<HHHHHHHHHHHHHHIQ")  # 40 bytes, little-endian

KIND_CONTROL_MESSAGE = 1
KIND_DATA_LINK_MESSAGE = 2
KIND_CONTROL_DATA = 3
CONNECT_REQUEST = 1
CONNECT_REPLY = 2


def packet(kind, code=0, port=0, sequence=0, payload=b"", result=0):
    return HEADER.pack(40, len(payload), 2, 1, port, kind, code, 0, result, 0, 0, 0, 0, 0,
                       sequence, 0) + payload


def decode(hex_text):
    raw = bytes.fromhex(hex_text)
    fields = HEADER.unpack(raw[:40])
    return {"dataLength": fields[1], "port": fields[4], "kind": fields[5], "code": fields[6],
            "result": fields[8], "error": fields[9], "sequence": fields[14],
            "payload": raw[40:40 + fields[1]]}


class DriverClient:
    def __init__(self, path, timeout=10):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(path)
        self.buffer = b""
        self.notes = []
        self.sequence = {}
        self.send_frame(b"D", b"")
        kind, body = self.read_frame(timeout)
        while kind != b"A":
            kind, body = self.read_frame(timeout)
        if struct.unpack(">i", body)[0] != 0:
            raise RuntimeError("attach refused")

    def close(self):
        self.sock.close()

    def send_frame(self, kind, body):
        self.sock.sendall(struct.pack(">I", len(body)) + kind + body)

    def read_frame(self, timeout):
        deadline = time.monotonic() + timeout
        while True:
            if len(self.buffer) >= 5:
                length = struct.unpack(">I", self.buffer[:4])[0]
                if len(self.buffer) >= 5 + length:
                    kind = self.buffer[4:5]
                    body = self.buffer[5:5 + length]
                    self.buffer = self.buffer[5 + length:]
                    return kind, body
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("no frame from the driver")
            self.sock.settimeout(left)
            data = self.sock.recv(65536)
            if not data:
                raise ConnectionError("the driver closed the connection")
            self.buffer += data

    def pump(self, timeout):
        """Reads one frame; notifications go to self.notes. Returns the result of an R frame."""
        kind, body = self.read_frame(timeout)
        if kind == b"C":
            self.notes.append(body[4:].split(b"\0", 1)[0].decode("latin-1"))
            return None
        if kind == b"R":
            return struct.unpack(">i", body)[0]
        return None

    def command(self, text, timeout=10):
        self.send_frame(b"C", b"\0\0\0\0" + text.encode("latin-1") + b"\0")
        while True:
            result = self.pump(timeout)
            if result is not None:
                return result

    def wait_note(self, predicate, timeout=15):
        deadline = time.monotonic() + timeout
        while True:
            for i, note in enumerate(self.notes):
                if predicate(note):
                    del self.notes[:i + 1]
                    return note
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("no such notification; seen: %r" % self.notes[-10:])
            try:
                self.pump(left)
            except TimeoutError:
                pass

    def streams(self):
        """The last STREAMS list seen (keys), reading what is waiting."""
        try:
            while True:
                self.pump(0.3)
        except TimeoutError:
            pass
        lists = [n for n in self.notes if n.startswith("APPLICATION %s STREAMS" % APP)]
        if not lists:
            return None
        return lists[-1].split(" ", 3)[3].replace(",", " ").split() if lists[-1].count(" ") >= 3 \
            else []

    # -- the application and its streams ------------------------------------

    def register(self):
        self.command("CREATE APPLICATION " + APP)

    def connect(self, user, timeout=15):
        self.command("ALTER APPLICATION %s CONNECT %s" % (APP, user))
        note = self.wait_note(lambda n: n.startswith("APPLICATION %s STREAMS " % APP)
                              and (" %s:" % user) in (" " + n.split(" ", 3)[3]), timeout)
        keys = note.split(" ", 3)[3].replace(",", " ").split()
        return [k for k in keys if k.startswith(user + ":")][-1]

    def send(self, key, data):
        sequence = self.sequence.get(key, 0)
        self.sequence[key] = sequence + 1
        kind, code, port, payload = data[:4]
        result = data[4] if len(data) > 4 else 0
        raw = packet(kind, code, port, sequence, payload, result)
        return self.command("ALTER APPLICATION %s WRITE %s %s" % (APP, key, raw.hex().upper()))

    def receive(self, key, predicate, timeout=15):
        """Reads the stream's packets until one satisfies predicate; returns it."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("no such packet from %s" % key)
            self.wait_note(lambda n: n.startswith("APPLICATION %s RECEIVED %s=" % (APP, key)),
                           left)
            self.command("ALTER APPLICATION %s READ %s" % (APP, key))
            prefix = "ALTER APPLICATION %s READ %s " % (APP, key)
            reply = self.wait_note(lambda n: n.startswith(prefix), 10)
            hex_text = reply[len(prefix):].strip()
            if not hex_text:
                continue
            found = decode(hex_text)
            if predicate(found):
                return found
