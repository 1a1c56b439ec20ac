'''Every reply and report the tool's receiver handles, decoded from a capture of the
board's RX line.

The frames are the simulator's answers as the end-to-end cases show them (the bytes
the tool echoed; the case is named), or, for the three kinds that no case provokes,
the frames the simulator builds for them (sim/device.cpp: the 0x58 power report with
its default 310.5 W, the erase and program replies with flash status 0).
'''


from sigrok.mcu_link import lists
from testkit.linkdecode import h, reply_frame, run, sequence, texts


# (case, event id, nth frame with that id in the case) or (None, bytes); replies row. The
# floats' other values are the shortest digits' own test (test_tool_oracle).
REPLIES = [
    (('op25_systick', 0x20, 0), 'systick 2452903544 ms'),
    (('op10_fct', 0x30, 0), 'FCT result 1'),
    (('op0_mode', 0x31, 0), 'work mode 2 (aprom)'),
    (('op0_mode_bootloader', 0x31, 0), 'work mode 0 (bootloader)'),
    (('op0_version', 0x32, 0), 'version 7'),
    (('op1_key_reports', 0x33, 0), 'sw1 state 1'),
    (('op7_exit_temporary', 0x35, 0), 'press test exit temporary'),
    (('op6_sn_read_set', 0x44, 0), 'serial number 0C 22 05 43 59 00'),
    (('op7_exit', 0x45, 0), 'press test exit set'),
    (('op8_presstest_result', 0x46, 0), 'press test result 1'),
    (('op4_hlw8112', 0x51, 0), 'voltage 230.0 V'),
    (('op4_hlw8112', 0x52, 0), 'current 1500.0 mA'),
    (('op4_hlw8112', 0x53, 0), 'power 310.5 W'),
    (('op4_hlw8112', 0x54, 0), 'energy 12.34 kWh'),
    (('op4_hlw8112', 0x56, 0), 'phase angle 25.84'),
    (('op4_hlw8112', 0x57, 0), 'load type 1 (inductive)'),
    (('op4_hlw8112_other_values', 0x57, 0), 'load type 0 (capacitive)'),
    ((None, 'AA 08 00 58 00 40 9B 43 76 BB'), 'power 310.5 W'),
    (('op2_duty_get', 0x69, 0), 'PWM duty 50'),
    (('op2_duty_get', 0x6A, 0), 'PWM target duty 50'),
    (('op14_bt_prepare', 0x71, 0), 'Bluetooth init 1'),
    (('op15_bt_name', 0x72, 0), 'Bluetooth name "SIM-BT"'),
    (('op15_bt_name_full', 0x72, 0), 'Bluetooth name "ABCDEFGH"'),
    (('op11_sensor', 0x74, 0), 'humidity 500, temperature 250'),
    (('op12_send_raw', 0x75, 0), 'IR test success'),
    (('op12_send_new', 0x75, 0), 'IR test fail (0x0017BA)'),
    (('op24_load', 0x81, 0), 'power-to-load test pass, ADC 0x1234'),
    (('op24_short', 0x82, 0), 'short-circuit test pass, ADC 0x1234'),
    (('op24_short_fail', 0x82, 0), 'short-circuit test fail, ADC 0x0507'),
    (('op17_rs485', 0x91, 0), 'RS485 receive 8 bytes "Receive\\x00": match'),
    (('op17_rs485_mismatch', 0x91, 0), 'RS485 receive 8 bytes "Rec0ive\\x00": no match (s1 != s2)'),
    (('op19_relay_control', 0x93, 0), 'relay control 1'),
    (('op19_relay_get', 0x94, 0), 'relay 1 off'),
    (('op19_relay_get_257', 0x94, 0), 'relay 1 on'),
    (('op19_relay_get_minus1', 0x94, 0), 'relay 255 state 255'),
    (('op20_relay_time', 0x95, 0), 'relay 1 time 305419896'),
    (('op20_relay_time_missing', 0x95, 0), 'relay 5 time -1'),
    (('op21_ntc', 0x96, 0), 'NTC 25.02 \u00b0C (raw 2048)'),
    (('op21_ntc_out_of_range', 0x96, 0), 'NTC 0.00 \u00b0C (raw 16777216)'),
    (('op22_frequency', 0x97, 0), 'mains frequency 50 Hz'),
    (('op23_zero_cross', 0x98, 0), 'zero-cross normal'),
    (('op23_zero_cross_err', 0x98, 0), 'zero-cross err (2)'),
    (('op26_twenty_params', 0x99, 0), 'relay multi-control set=10 success=4'),
    (('op12_receiver', 0x9E, 0),
     'IR learning 1/1: Base64 16 chars, 12 bytes: 9000 4500 560 560 560 1690'),
    (('op12_receiver_fragment', 0x9E, 0), 'IR learning 1/2: Base64 8 chars, 4 bytes: 1 2'),
    (('op13_key3', 0xA1, 0), 'key set 0x3'),
    ((None, 'AA 05 00 BB 00 BB BB'), 'APROM erase state 0'),
    ((None, 'AA 05 00 DD 00 DD BB'), 'APROM program state 0'),
    (('op0_model', 0xFE, 0), 'MCU model 0x05'),
    (('op0_model_two_digits', 0xFE, 0), 'MCU model 0x1A'),
]


def test_every_reply_kind_by_meaning_and_value(tmp_path):
    items = [('RX', h(s[1]) if s[0] is None else reply_frame(*s)) for s, _ in REPLIES]
    # The table's codes are those the tool's receiver handles (test_tool_oracle).
    assert {data[3] for _, data in items} == set(lists.REPLY_PAYLOAD)
    streams, _ = sequence(items, gap_ms=2.0)
    anns = run(tmp_path, streams, ['replies'])
    assert texts(anns) == [text for _, text in REPLIES]


def test_checksums_and_fields_of_replies(tmp_path):
    version = reply_frame('op0_version', 0x32)
    bad = version[:5] + b'\x38' + version[6:]  # the checksum byte 0x38 instead of 0x39
    streams, _ = sequence([('RX', version), ('RX', bad)], gap_ms=2.0)
    anns = run(tmp_path, streams, ['reply-fields', 'checksums', 'replies'])
    assert texts(anns) == [
        'Start 0xAA', 'Length 5', 'Head 0x00', 'Code 0x32', 'Payload 1 byte: 07',
        'Checksum 0x39', 'End 0xBB', 'checksum good (sum 39, byte 39)', 'version 7',
        'Start 0xAA', 'Length 5', 'Head 0x00', 'Code 0x32', 'Payload 1 byte: 07',
        'Checksum 0x38', 'End 0xBB', 'checksum bad (sum 39, byte 38)',
        'version 7 bad checksum (sum 39, byte 38)']


def test_commands_on_the_rx_line(tmp_path):
    # A capture whose probes are the other way round: commands=RX swaps the directions.
    streams = [(1.0, 'RX', h('AA 03 32 32 BB')), (3.0, 'TX', h('AA 05 00 32 07 39 BB'))]
    anns = run(tmp_path, streams, ['commands', 'replies'], {'commands': 'RX'})
    assert texts(anns) == ['mcu_get_version', 'version 7']
