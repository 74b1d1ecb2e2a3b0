#!/usr/bin/python3
"""Independent decoder for the demographic Demo message of the Pid schema.

The message types are built here from their field tables with python3-protobuf's descriptor
API (no generated code, no protoc). Each argument is one encoded message in hex; for each the
script prints one line: the message in protobuf text format, or "ERROR: ..." when the bytes do
not decode cleanly (parse failure, unknown fields, or bytes that do not re-encode identically).
"""
import sys

from google.protobuf import descriptor_pb2, descriptor_pool, text_format
from google.protobuf import message_factory

F = descriptor_pb2.FieldDescriptorProto


def _enum(fd, name, values):
    e = fd.enum_type.add(name=name)
    for vname, number in values:
        e.value.add(name=vname, number=number)


def _msg(fd, name, fields):
    m = fd.message_type.add(name=name)
    for number, fname, ftype, type_name in fields:
        f = m.field.add(name=fname, number=number, label=F.LABEL_OPTIONAL, type=ftype)
        if type_name:
            f.type_name = ".pidschema." + type_name


def build_demo_class():
    fd = descriptor_pb2.FileDescriptorProto(name="pidschema_demo.proto", package="pidschema",
                                            syntax="proto2")
    _enum(fd, "Ms", [("MS_NONE", 0), ("E", 1), ("P", 2)])
    _enum(fd, "Gender", [("GENDER_NONE", 0), ("F", 1), ("M", 2), ("T", 3)])
    _enum(fd, "Dobt", [("DOBT_NONE", 0), ("V", 1), ("D", 2), ("A", 3)])
    e, b, i, m = F.TYPE_ENUM, F.TYPE_BYTES, F.TYPE_INT32, F.TYPE_MESSAGE
    _msg(fd, "Dob", [(1, "first", i, None), (2, "second", i, None), (3, "third", i, None)])
    _msg(fd, "Pi", [(1, "ms", e, "Ms"), (2, "name", b, None), (3, "mv", i, None),
                    (4, "lname", b, None), (5, "lmv", i, None), (6, "gender", e, "Gender"),
                    (7, "dob", m, "Dob"), (8, "dobt", e, "Dobt"), (9, "age", i, None),
                    (10, "email", b, None), (11, "phone", b, None)])
    pa_texts = ["co", "house", "street", "lm", "loc", "vtc", "subdist", "dist", "state", "pc",
                "po", "country"]
    _msg(fd, "Pa", [(1, "ms", e, "Ms")] + [(n + 2, t, b, None) for n, t in enumerate(pa_texts)])
    _msg(fd, "Pfa", [(1, "ms", e, "Ms"), (2, "av", b, None), (3, "mv", i, None),
                     (4, "lav", b, None), (5, "lmv", i, None)])
    # The language code is a plain number on the wire.
    _msg(fd, "Demo", [(1, "lang", i, None), (2, "Pi", m, "Pi"), (3, "Pa", m, "Pa"),
                      (4, "Pfa", m, "Pfa")])
    pool = descriptor_pool.DescriptorPool()
    pool.Add(fd)
    desc = pool.FindMessageTypeByName("pidschema.Demo")
    if hasattr(message_factory, "GetMessageClass"):
        return message_factory.GetMessageClass(desc)
    return message_factory.MessageFactory(pool).GetPrototype(desc)


def _has_unknown(msg):
    if len(msg.UnknownFields()) > 0:
        return True
    for fdesc, value in msg.ListFields():
        if fdesc.type == F.TYPE_MESSAGE and _has_unknown(value):
            return True
    return False


def decode(demo_cls, data):
    msg = demo_cls()
    try:
        msg.ParseFromString(data)
    except Exception as exc:  # noqa: BLE001 - report any decode failure
        return "ERROR: parse: %s" % exc
    if _has_unknown(msg):
        return "ERROR: unknown fields"
    again = msg.SerializeToString()
    if again != data:
        return "ERROR: re-encoded bytes differ: %s" % again.hex()
    return text_format.MessageToString(msg, as_one_line=True, as_utf8=True)


def main(argv):
    demo_cls = build_demo_class()
    for arg in argv[1:]:
        print(decode(demo_cls, bytes.fromhex(arg)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
