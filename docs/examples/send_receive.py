"""Sends a text to the modem's own number on COM1 and prints the report and the message."""
import ctypes
import sys
import time


class SendReport(ctypes.Structure):
    _fields_ = [("sequence", ctypes.c_int32), ("text", ctypes.c_char * 512),
                ("result", ctypes.c_int32), ("number", ctypes.c_char * 32)]


class RecvMsg(ctypes.Structure):
    _fields_ = [("text", ctypes.c_char * 512), ("number", ctypes.c_char * 32),
                ("timestamp", ctypes.c_char * 32)]


tarvik = ctypes.CDLL("libTarvik.so.1")
tarvik.SMSStartService.argtypes = [ctypes.c_int32] * 6 + [ctypes.c_char_p]
if tarvik.SMSStartService(1, 115200, 0, 0, 0, 0, b"") != 1:
    why = ctypes.create_string_buffer(1024)
    length = tarvik.SMSGetLastError(why)
    sys.exit("no modem on COM1: " + why.raw[:length].decode())
tarvik.SMSSendMessage("Grüße from Tarvik".encode(), b"13800138000")  # UTF-8 text
report, message = SendReport(), RecvMsg()
reported = received = False
deadline = time.monotonic() + 60
while not (reported and received) and time.monotonic() < deadline:
    time.sleep(1)
    if not reported and tarvik.SMSReport(ctypes.byref(report)) == 1:
        reported = True
        print(f"report {report.result}: {'sent' if report.result == 1 else 'refused'}")
    if not received and tarvik.SMSGetNextMessage(ctypes.byref(message)) == 1:
        received = True
        print(f"from {message.number.decode()} at {message.timestamp.decode()}: "
              f"{message.text.decode()}")
tarvik.SMSStopSerice()  # anything not fetched by now is gone
sys.exit(0 if reported and received and report.result == 1 else 1)
