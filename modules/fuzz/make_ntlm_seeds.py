#!/usr/bin/python3
"""Writes the hand-made seeds of ntlm_fuzz into ntlm_corpus/ beside this file.

Each seed is a run of legs laid out as the target's FuzzedDataProvider reads
them: the numbers (answers of the scripted library, request kind) from the
end of the input, the header values from the front, each ended by "\\x".
"""
import os
MAJ = {"complete":0, "continue":1, "failure":2, "defective":3, "no_context":4, "continue_failure":5}
MIN = {0:0, 40017:1, 40022:2, 40024:3, 40047:4, 40055:5, 40056:6, 7:7}
OUT = {None:0, "challenge":1, "x":2, "binary":3, "":4}
NAMES = {"DOM\\user":0, None:1, "":2}

def esc(s):
    return s.replace(b"\\", b"\\\\") + b"\\x"

def leg(value, major="continue", minor=0, output="challenge", client_name=False, delegated=False,
        replace=False, display_fails=False, name="DOM\\user", proxy=False, header=True, sub=False, drop=False,
        bound=False, channel_binding=False, tls=False):
    end = [0 if drop else 1,
           0 if proxy else 1, 1 if header else 0, 0 if sub else 1,
           MAJ[major], MIN[minor], OUT[output], int(client_name), int(delegated), 0 if replace else 1,
           0 if display_fails else 1, NAMES[name], int(bound) | int(channel_binding) << 1 | int(tls) << 2]
    return esc(value.encode()), end


def authenticate_message(pairs):
    """"NTLM <base64>" of an authenticate message (type 3) whose NTLMv2
    response carries the AV pairs (id, value) before the end pair."""
    import base64
    import struct
    response = b"\x01" * (16 + 28) + b"".join(struct.pack("<HH", i, len(v)) + v for i, v in pairs) + b"\0" * 4
    message = b"NTLMSSP\0" + struct.pack("<I", 3) + b"\0" * 8 + struct.pack("<HHI", len(response), len(response), 64)
    return "NTLM " + base64.b64encode(message.ljust(64, b"\0") + response).decode()


BOUND_ANSWER = authenticate_message([(7, b"\2" * 8), (10, b"\x5a" * 16)])
UNBOUND_ANSWER = authenticate_message([(7, b"\2" * 8)])

def seed(legs, ntlm=True):
    front = b""; end = [1 if ntlm else 0]
    for f, e in legs:
        front += f; end += e
    return front + bytes(reversed(end))

seeds = {
 "two_legs": seed([leg("NTLM bmVnb3RpYXRl"), leg("NTLM YXV0aGVudGljYXRl", major="complete", output=None, client_name=True)]),
 "two_legs_mutual_token": seed([leg("NTLM bmVnb3RpYXRl"), leg("NTLM YXV0aGVudGljYXRl", major="complete", output="x", client_name=True, delegated=True)]),
 "refused_locked": seed([leg("NTLM bmVnb3RpYXRl"), leg("NTLM YXV0aA==", major="failure", minor=40024, output="binary")]),
 "refused_each_code": seed([leg("NTLM YQ==", major="failure", minor=m, output=None) for m in (40017, 40022, 40047, 40055, 40056, 7)]),
 "dropped_between_legs": seed([leg("NTLM bmVnb3RpYXRl"), leg("NTLM YXV0aGVudGljYXRl", major="complete", client_name=True, drop=True)]),
 "forward_proxy": seed([leg("NTLM bmVnb3RpYXRl", proxy=True), leg("NTLM YXV0aGVudGljYXRl", major="complete", output=None, client_name=True, proxy=True)]),
 "subrequest_after_success": seed([leg("NTLM YXV0aGVudGljYXRl", major="complete", output=None, client_name=True, sub=True)]),
 "subrequest_after_failure": seed([leg("NTLM YXV0aA", major="failure", minor=40022, sub=True)]),
 "junk_in_token": seed([leg("NTLM YWJj$ZGVm more words"), leg("ntlm \t YWJjZA=\tx", major="complete", client_name=True)]),
 "bare_scheme": seed([leg("NTLM"), leg("ntlm   ", major="defective", output=None)]),
 "other_schemes": seed([leg("Basic dXNlcjpwdw=="), leg("Negotiate YQ=="), leg("", header=True), leg("x", header=False)]),
 "declined": seed([leg("NTLM bmVnb3RpYXRl")], ntlm=False),
 "replaced_context": seed([leg("NTLM bmVnb3RpYXRl"), leg("NTLM bmVnb3RpYXRl", replace=True), leg("NTLM YQ==", major="complete", client_name=True, replace=True)]),
 "no_name": seed([leg("NTLM YQ==", major="complete", client_name=False), leg("NTLM YQ==", major="complete", client_name=True, display_fails=True), leg("NTLM YQ==", major="complete", client_name=True, name=None)]),
 "continue_with_error": seed([leg("NTLM YQ==", major="continue_failure"), leg("NTLM YQ==", major="no_context", output=None)]),
 "bound_connection": seed([leg("NTLM bmVnb3RpYXRl", bound=True), leg("NTLM YXV0aGVudGljYXRl", major="complete", output=None, client_name=True, bound=True),
                             leg("", header=False, bound=True), leg("", header=False, bound=True, sub=True), leg("NTLM bmVnb3RpYXRl", bound=True), leg("", header=False, bound=True)]),
 "channel_binding": seed([leg("NTLM bmVnb3RpYXRl", channel_binding=True, tls=True), leg(BOUND_ANSWER, major="complete", output=None, client_name=True, channel_binding=True, tls=True),
                          leg("NTLM bmVnb3RpYXRl", channel_binding=True, tls=True), leg(UNBOUND_ANSWER, major="complete", client_name=True, channel_binding=True, tls=True),
                          leg("NTLM bmVnb3RpYXRl", channel_binding=True)]),
 "empty_output_token": seed([leg("NTLM bmVnb3RpYXRl", output=""), leg("NTLM YXV0aGVudGljYXRl", major="complete", output="", client_name=True)]),
}
folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "ntlm_corpus")
os.makedirs(folder, exist_ok=True)
for k, v in seeds.items():
    with open(os.path.join(folder, k), "wb") as f:
        f.write(v)
