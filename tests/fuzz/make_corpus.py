#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into corpus/<target>/.

The seeds are small hand-made inputs in each target's layout (see the comment
at the top of each fuzz_*.cpp); rerun after a layout change. Files that the
fuzzers found (named after what they caught) are kept as they are.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def u16(v):
    return struct.pack("<H", v)


def u32(v):
    # The fuzz input reads two little-endian 16-bit halves, low half first.
    return struct.pack("<I", v)


def put(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# --- reply splitter: flags, [filler length, filler byte, position], stream
mixed = bytes([0x14, 0x00, 0x00, 0x0F, 0x39, 0x40, 0x41, 0x00, 0x35, 0x7F, 0x40, 0x00,
               0x01, 0x12, 0xFF, 0x5F, 0x61, 0x62, 0x00, 0x3B, 0x01, 0x02, 0x00,
               0x3D, 0x20, 0x00]) + b'7"0A1F\0' + bytes([0x80, 0x53, 0x00, 0x00, 0x03, 0x00,
               0x90, 0x91, 0x92, 0x7B, 0x7C, 0x7D, 0x00, 0x16, 0x5F, 0x00, 0x10, 0x00, 0x00, 0x00])
put("fuzz_reply_splitter", "mixed_bytewise", bytes([0x00]) + mixed)
put("fuzz_reply_splitter", "mixed_small_reads", bytes([0x04]) + mixed)
put("fuzz_reply_splitter", "job_end_answer", bytes([0x03]) + b'7"0A1F\0' + bytes([0x14, 0x00, 0x00, 0x0F]))
put("fuzz_reply_splitter", "broken_status_blocks", bytes([0x01, 0x14, 0x00, 0x80, 0x01, 0x39, 0x3F, 0x35, 0x40, 0x40, 0x01, 0x37, 0x00, 0x41]))
# 65535-byte S block: header, then the filler inserted before the last byte.
put("fuzz_reply_splitter", "largest_s_block", bytes([0xE7, 0x1F, 0x80, 0xFF, 0x53, 0x00, 0x00, 0xFF, 0xFF, 0x80]))
# A NUL block one byte longer than the remainder may hold (found by the fuzzer).
put("fuzz_reply_splitter", "overlong_nul_block", bytes([0xE7, 0x24, 0x41, 0x80, 0x5F, 0x00]))
put("fuzz_reply_splitter", "unterminated_blocks", bytes([0x06, 0x5F, 0x41, 0x5F, 0x5F, 0x00, 0x01, 0x14, 0x00, 0x00, 0x0F]))

# --- kdpx reply: flags, type, command, payload, capacity, [flip], datagram
def kdpx(flags, type_pick, command, payload, capacity, got, flip=None):
    out = bytes([flags, type_pick]) + u32(command) + u16(len(payload)) + payload + u16(capacity)
    if flip is not None:
        out += bytes([flip])
    return out + got

status_reply = b"ORVIK" + bytes([0x71, 0x03, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x0D]) + bytes(range(1, 14))
put("fuzz_kdpx_reply", "status_reply", kdpx(0x00, 0, 0x03000010, b"", 13, status_reply))
put("fuzz_kdpx_reply", "status_reply_cut", kdpx(0x00, 0, 0x03000010, b"", 4, status_reply))
put("fuzz_kdpx_reply", "error_result", kdpx(0x02, 1, 0x03000016, b"\x01", 1, b"ORVIK\x63\x03\x00\x00\x16\xF0\x01\x00\x00"))
mac_payload = bytes([0x00, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55]) + bytes(14)
mac_reply = bytes(14) + bytes([0x00, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55]) + b"printer name\0\0"
put("fuzz_kdpx_reply", "broadcast_echo", kdpx(0x07, 2, 0x00000010, mac_payload, 512, mac_reply))
put("fuzz_kdpx_reply", "broadcast_wrong_mac", kdpx(0x0F, 2, 0x00000010, mac_payload, 512, mac_reply, flip=17))
put("fuzz_kdpx_reply", "short_datagram", kdpx(0x00, 0, 0x03000017, b"", 4, b"ORVIK\x71\x03"))

# --- log settings: the file itself
put("fuzz_log_settings", "nine_lines", b"[ENABLE]\nENABLE=2\n[NETWORK]\nIPADDRESS=127.0.0.5\nPORT=8080\n"
    b"[MAXSIZE]\nSIZE=10\n[LEVEL]\nLEVEL=255\n")
put("fuzz_log_settings", "crlf_hex_octal", b"[ENABLE]\r\nENABLE=0x1\r\n[MAXSIZE]\r\nSIZE=050 \t\r\n[LEVEL]\r\nLEVEL=0\r\n")
put("fuzz_log_settings", "ipv6_full_level", b"[ENABLE]\nENABLE=2\n[NETWORK]\nIPADDRESS=1234:5678:9abc:def0:1234:5678:9abc:def0\n"
    b"PORT=65535\n[MAXSIZE]\nSIZE=200\n[LEVEL]\nLEVEL=255\n")
put("fuzz_log_settings", "bad_value", b"[ENABLE]\nENABLE=1\n[MAXSIZE]\nSIZE=51\n[LEVEL]\nLEVEL=0\n")
put("fuzz_log_settings", "log_header", b"SDK NAME: Orvik Tilo SDK\nSDK VERSION: 2.7.0\nDEVICE OS: Linux\n"
    b"DEVICE OS VERSION: N/A(10 or later)\nDEVICE NAME: till-3\nSTORAGE SIZE: 64GB\n")

# --- converter: model, flags (1 UTF-8, 2 fetch each, 4/8 cuts), cuts, text
put("fuzz_converter", "ascii_utf8", bytes([0, 0x01]) + b"Total 12.50\nThank you!\n")
put("fuzz_converter", "latin_greek_euro", bytes([3, 0x03]) + "Grüße ÀÉÎ € ¥ £ αβγ ΩΣ".encode())
put("fuzz_converter", "cjk_cut_in_pieces", bytes([9, 0x0F, 0x30, 0x70, 0xB0]) + "日本語のテキスト 中文 한국어 ｶﾀｶﾅ".encode())
put("fuzz_converter", "two_byte_input", bytes([1, 0x00]) + "Ab€ü\u0e01".encode("utf-16-le") + b"\x41")
put("fuzz_converter", "bad_utf8", bytes([2, 0x01]) + b"ok \xc3\x28 \xe2\x82 \xf0\x9f\x98 \xed\xa0\x80 \xff end")

# --- double-byte encoders: the text
put("fuzz_dbcs", "ascii", b"Receipt 0042 total 9.99\n")
put("fuzz_dbcs", "japanese", "日本語 ｶﾀｶﾅ ひらがな ①②③ ～〜 ￥".encode())
put("fuzz_dbcs", "chinese", "中文简体 繁體中文 ㄅㄆ € 〇".encode())
put("fuzz_dbcs", "korean", "한국어 텍스트 ㄱㄴ 가나다".encode())
put("fuzz_dbcs", "four_byte_and_broken", "𠀋𩸽😀".encode() + b"\x00\xc3\x28\xe3\x81\xf8\x88\x80\x80\x80\xed\xa0\x80")

# --- rasteriser: method, width(2), height, x, y, out width, out height,
#     brightness pick + 2 bytes, length adjust, pixels
def raster(method, width, height, x, y, ow, oh, bright, adjust, pixels):
    return bytes([method]) + u16(width - 1) + bytes([height - 1, x, y, ow, oh, bright]) + u16(0) + bytes([adjust]) + pixels

gradient = bytes(v for i in range(64) for v in (i * 4, i * 4, i * 4))
put("fuzz_rasteriser", "dither_16x4", raster(0, 16, 4, 0, 0, 16, 4, 0, 0, gradient))
put("fuzz_rasteriser", "diffuse_257_wide", raster(1, 300, 2, 3, 0, 207, 2, 0, 0, gradient))
put("fuzz_rasteriser", "threshold_odd_rect", raster(2, 20, 5, 3, 1, 13, 3, 1, 3, bytes([0x10, 0x80, 0xF0]) * 9))
put("fuzz_rasteriser", "gray_odd_bright", raster(3, 7, 3, 0, 0, 7, 3, 2, 0, gradient))
put("fuzz_rasteriser", "outside_source", raster(0, 8, 2, 4, 0, 8, 2, 0, 0, gradient))
put("fuzz_rasteriser", "nan_brightness", raster(3, 8, 2, 0, 0, 8, 2, 5, 0, gradient))

# --- builder calls: model index, language, then calls (see OneCall)
def text(s):
    b = s.encode()
    return bytes([0]) + u16(len(b)) + b

def arg(v):  # one Arg(): small values as they are, others as 16 bits
    return bytes([0, v]) if 0 <= v < 256 else bytes([2]) + u16(v)

FEED_LINES = bytes([19, 1]) + arg(3)
CUT = bytes([14]) + arg(0)
BUILD = bytes([28])
put("fuzz_builder_calls", "receipt_text", bytes([9, 0]) + text("Hello world\n") + FEED_LINES + CUT + BUILD)
put("fuzz_builder_calls", "styles_and_scales",
    bytes([4, 1]) + bytes([18, 2]) + arg(1) + bytes([18, 6]) + arg(8) + bytes([18, 7]) + arg(300)
    + text("日本語 Big\n") + bytes([20, 1]) + arg(1) + CUT + BUILD)
put("fuzz_builder_calls", "raster_image",
    bytes([4, 0, 2, 0x03, 15, 7]) + u16(4) + b"\xF0\x0F\xAA\x55" + arg(0) + arg(0) + arg(1) + BUILD
    + bytes([15]) + arg(1) + bytes([2, 0x01, 23, 3]) + u16(0) + arg(1) + arg(1) + BUILD)
put("fuzz_builder_calls", "barcode_symbol",
    bytes([18, 0, 5]) + arg(4) + u16(12) + b"123456789012" + bytes([24, 3]) + arg(80)
    + bytes([6]) + arg(0) + u16(5) + b"HELLO" + bytes([7, 3]) + arg(0) + arg(6) + BUILD)
put("fuzz_builder_calls", "page_mode",
    bytes([2, 0, 21, 0]) + arg(0) + bytes([9]) + arg(0) + arg(0) + arg(400) + arg(300)
    + bytes([11]) + arg(10) + arg(10) + arg(200) + arg(10) + arg(1) + bytes([1])
    + text("In a page") + bytes([21, 1]) + arg(0) + BUILD)
put("fuzz_builder_calls", "impact_model_duplicate",
    bytes([6, 1, 2, 0x03, 20, 15]) + u16(0) + arg(2) + arg(0) + arg(0) + text("Ribbon\n") + bytes([29]) + CUT + bytes([29]))
put("fuzz_builder_calls", "failing_allocation",
    bytes([9, 0]) + text("abc") + bytes([30, 2]) + BUILD + bytes([30, 1, 29]) + bytes([30, 0]) + text("x") + BUILD)
put("fuzz_builder_calls", "reply_and_label",
    bytes([8, 0, 13]) + arg(1) + arg(200) + arg(0) + arg(0) + arg(0) + arg(0) + arg(400)
    + bytes([31]) + u16(12) + b'7"FFFF\0\x14\x00\x00\x0F\x01' + bytes([27, 1, 1]) + BUILD)
put("fuzz_builder_calls", "out_of_range_everywhere",
    bytes([9, 0]) + bytes([9, 3, 1, 2]) + arg(70000 & 0xFFFF) + bytes([13]) + bytes([5, 0x7F]) * 7 + bytes([14, 4]) + u32(0x80000000))
# INT_MIN as a width scale through the text table's slot (found by the fuzzer).
put("fuzz_builder_calls", "found_width_scale_int_min", bytes([9, 0, 18, 6, 4]) + u32(0x80000000) + BUILD)

# --- connection target: the text itself
put("fuzz_target", "tcp_blanks", b"TCP:  192.168.0.5")
put("fuzz_target", "tcps_device", b"TCPS:10.0.0.1[printer1]")
put("fuzz_target", "empty_id", b"TCP:10.0.0.1[]")
put("fuzz_target", "bluetooth_colons", b"xxBT:00:11:22:33:44:55")
put("fuzz_target", "bad_id", b"USB:1[a b]")
put("fuzz_target", "open_bracket", b"TCP:host[abc")

# --- device-service messages: chunking seed, then NUL-separated messages
put("fuzz_service_messages", "connect_and_result", bytes([3])
    + b"<connect><data><client_id>C1</client_id><protocol_version>1.0</protocol_version></data></connect>\0"
    + b"<device_data><sequence>1</sequence><device_id>p</device_id><data><type>onxmlresult</type>"
    + b"<resultdata><response success=\"false\" code=\"\" status=\"0x10\" battery=\"0\"/></resultdata>"
    + b"</data></device_data>\0<admin_info><code>OK</code>")
put("fuzz_service_messages", "history_and_receive", bytes([9])
    + b"<commbox_data><sequence>2</sequence><data><type>getcommhistory</type><box_id>b</box_id>"
    + b"<history_list><senderId>a</senderId><receiverId>b</receiverId><message>&amp;lt;</message>"
    + b"</history_list></data></commbox_data>\0<commbox_data><data><type>onreceive</type>"
    + b"<sender_id>x</sender_id><receiver_id>y</receiver_id><message>m</message></data></commbox_data>\0")
put("fuzz_service_messages", "keyboard_serial", bytes([0])
    + b"<device_data><data><type>onstring</type><input>a&amp;amp;b</input><prefix>3</prefix></data></device_data>\0"
    + b"<device_data><data><type>oncommandreply</type><data>0a1B</data></data></device_data>\0"
    + b"<device_data><data><type>oncommandreply</type><data>0a1</data></data></device_data>\0"
    + b"<device_data><data><type>onreceive</type><eventtype>slip</eventtype><data>x</data></data></device_data>\0")
put("fuzz_service_messages", "soap_status", bytes([1])
    + b"<?xml version=\"1.0\"?><s:Envelope><s:Body><response success=\"true\" status=\"251854870\" battery=\"0\"/></s:Body></s:Envelope>")

# --- device-service HTTP replies and JSON answers: the whole input is the text
put("fuzz_service_json", "device_list", b'[{"deviceId":"local_printer","deviceType":"type_printer",'
    b'"modelName":"RP-S"},{"deviceId":"k1","deviceType":"type_keyboard","modelName":7}]')
put("fuzz_service_json", "device_list_one_object", b'{"deviceId":"d","deviceType":"type_display","deviceId":"x"}')
put("fuzz_service_json", "device_list_bad_item", b'[{"deviceId":"a","deviceType":""},{"deviceId":1}]')
put("fuzz_service_json", "port_list", b'{"NativeSocket": 8009, "SSLNativeSocket": 8143.9}')
put("fuzz_service_json", "port_list_out_of_range", b'{"NativeSocket":2147483648,"SSLNativeSocket":-1e300}')
put("fuzz_service_json", "system_version", b'{"Services":[{"EndorsementUnit":"1"},{"ValidationUnit":"1",'
    b'"MICRUnit":"01"},{"EndorsementUnit":"0"},5]}')
put("fuzz_service_json", "surrogates", b'{"deviceId":"\\ud83d\\ude00","deviceType":"\\ud800x"}')
put("fuzz_service_json", "truncated", b'[{"deviceId":"a","deviceTy')
put("fuzz_service_json", "bare_t", b"t")
put("fuzz_service_json", "deep", b"[" * 200 + b"]" * 200)
put("fuzz_service_json", "reply_content_length", b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
    b"Content-Length: 44\r\n\r\n" b'{"NativeSocket":8009,"SSLNativeSocket":8143}')
put("fuzz_service_json", "reply_chunked", b"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, Chunked\r\n\r\n"
    b'7;ext=1\r\n[{"devi\r\n1B \r\nceId":"p","deviceType":"t"}\r\n1\r\n]\r\n0\r\nTrailer: x\r\n\r\n')
put("fuzz_service_json", "reply_head_only", b"HTTP/1.1 302 Found\r\nLocation: https://x/\r\n\r\n")
put("fuzz_service_json", "reply_two_lengths", b"HTTP/1.0 500 Oops\r\ncontent-length: 1\r\nContent-Length: 2\r\n\r\nab")
put("fuzz_service_json", "chunked_only", b"4\r\nabcd\r\nFFFFFFFF\r\n")
