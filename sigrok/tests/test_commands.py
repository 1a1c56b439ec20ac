'''Commands with parameters, decoded from a capture of the board's TX line: how the
decoder shows each parameter. (Every builder's name, parameters or not, is compared with
the simulator's own decoder in test_sim_agreement, and so is the zero padding after the
fixed-size sends.)

Each frame is the one an end-to-end case expects the simulator to receive (the case
is named; the test checks that the case really lists those bytes), or, for the
builders that no operation sends, the bytes that builder puts on the line.
'''


from testkit.linkdecode import LinkCase, h, run, sequence, texts

# (case whose "frame" lines hold the bytes, or None; bytes sent; commands row)
COMMANDS = [
    ('op0_version', 'AA 03 32 32 BB', 'mcu_get_version'),
    ('op4_hlw8112', 'AA 03 55 55 BB', 'mcu_hlw8112_get code=0x55'),
    ('op5_sn_write', 'AA 09 43 0C 22 05 43 59 00 12 BB', 'mcu_sn_no_write sn=0C 22 05 43 59 00'),
    ('op2_duty_50', 'AA 04 68 32 9A BB', 'mcu_PWM_ctrl duty=50'),
    ('op17_rs485',
     'AA 3A 90 31 32 33 34 35 36 37 39 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50 51 71 '
     '77 65 72 74 79 75 69 6F 70 61 73 64 66 67 68 6A 6B 6C 39 38 37 36 36 35 34 33 32 31 00 '
     '38 BB',
     'mcu_rs485_send len=55 data="12345679ABCDEFGHIJKLMNOPQqwertyuiopasdfghjkl9876654321\\x00"'),
    ('op16_set_9600_extra', 'AA 0A 92 00 00 25 80 01 00 00 38 BB',
     'mcu_rs485_usart_set baudrate=9600 data_width=1(8) stop_bits=0(1) parity=0(NO)'),
    ('op16_set_no_range', 'AA 0A 92 FF FF FF FF 01 02 02 93 BB',
     'mcu_rs485_usart_set baudrate=4294967295 data_width=1(8) stop_bits=2(2) parity=2(ODD)'),
    ('op19_relay_control', 'AA 05 93 01 01 95 BB', 'mcu_relay_control relay=1 value=1'),
    ('op19_relay_get', 'AA 04 94 01 95 BB', 'mcu_relay_get relay=1'),
    ('op20_relay_time', 'AA 04 95 01 96 BB', 'mcu_relay_read_time relay=1'),
    ('op26_two_params', 'AA 05 99 02 01 9C BB', 'mcu_relay_multi_control pairs=1 relay2=1'),
    ('op26_twenty_params',
     'AA 17 99 01 01 02 01 03 01 04 01 05 01 06 01 07 01 08 01 09 01 0A 01 DA BB',
     'mcu_relay_multi_control pairs=10 relay1=1 relay2=1 relay3=1 relay4=1 relay5=1 relay6=1 '
     'relay7=1 relay8=1 relay9=1 relay10=1'),
    ('op12_carrier', 'AA 06 9A 94 70 21 BF BB', 'mcu_ir_carrier_set carrier=38000 param=33'),
    ('op12_send_raw', None, 'mcu_ir_send len=252 data=03 80 01 C1 00 3B 00 A7 ...'),
    ('op12_send_new', None, 'mcu_ir_new_send len=49 data=00 36 00 38 00 A5 00 00 ...'),
    ('op12_receiver', 'AA 04 9D 01 9E BB', 'mcu_ir_receiver_set setting=1'),
    ('op13_key3', 'AA 04 A1 03 A4 BB', 'mcu_key_test key=3'),
    (None, 'AA 08 DD 07 01 02 03 04 EE BB', 'mcu_send_aprom_packet header=7 len=4'),
    ('op9_soft_test', 'AA AA AA AA AA',
     'mcu_soft_test (incomplete frame: length byte 0xAA announces 170 bytes, 3 came)'),
]

def frame_bytes(case, text):
    '''The bytes of the entry; checks that the case lists them (None: its only frame).'''
    if case is None:
        return h(text)
    frames = [f for f, _ in LinkCase(case).frames]
    if text is None:
        assert len(frames) == 1, case
        return frames[0]
    data = h(text)
    assert data in frames, '%s does not send %s' % (case, text)
    return data


def test_commands_by_builder_name_and_parameters(tmp_path):
    frames = [frame_bytes(c, t) for c, t, _ in COMMANDS]
    anns = run(tmp_path, sequence([('TX', data) for data in frames])[0], ['commands', 'checksums'])
    expected = []
    for data, (_, _, text) in zip(frames, COMMANDS):
        # The checksum byte sits at the length byte's place; the soft test has no whole frame.
        if data[1] != 0xAA:
            expected.append('checksum good (sum %02X, byte %02X)' % (data[data[1]], data[data[1]]))
        expected.append(text)
    assert texts(anns) == expected


def test_fields_of_a_command_frame(tmp_path):
    streams, starts = sequence([('TX', h('AA 05 93 01 01 95 BB'))])
    anns = run(tmp_path, streams, ['cmd-fields'])
    assert texts(anns) == ['Start 0xAA', 'Length 5', 'Code 0x93', 'Payload 2 bytes: 01 01',
                           'Checksum 0x95', 'End 0xBB']
    # Each field covers its own characters: the data bits of byte k start one bit after
    # its start bit, which comes k characters after the frame's first.
    bit = 1e6 / 115200
    first = [round(starts[0] * 1000 + (10 * k + 1) * bit) for k in (0, 1, 2, 3, 5, 6)]
    assert all(abs(a.ss - want) <= 1 for a, want in zip(anns, first)), anns
    assert abs(anns[3].es - (starts[0] * 1000 + 49 * bit)) <= 1  # two characters of payload
