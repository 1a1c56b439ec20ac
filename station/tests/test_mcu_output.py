"""The parser against the expected standard output of the end-to-end cases."""

from pathlib import Path

import pytest

from testkit import casefile
from station.mcu_output import (BadChecksum, LinkError, NoAnswer, Reading, parse_output,
                        read_operation)

CASES = Path(__file__).resolve().parents[2] / "tests" / "e2e" / "cases"
CASES_WITH_STDOUT = {c.name: c for c in (casefile.parse(str(path))
                                         for path in sorted(CASES.glob("*.case")))
                     if c.stdout is not None}


R = Reading

# case name -> what read_operation must return for its arguments and output
EXPECTED = {
    "op0_mode": {"work_mode": R("application")},
    "op0_mode_bootloader": {"work_mode": R("bootloader")},
    "op0_version_set": {"firmware_version": R(9)},
    "op0_version_bytewise": {"firmware_version": R(7)},
    "op0_version_silent": {"firmware_version": NoAnswer()},
    "op0_version_bad_checksum": {"firmware_version": BadChecksum(0x39, 0x3A)},
    "op0_model_two_digits": {"model": R(0x1A)},
    "op0_model": {"model": R(5)},
    "op4_hlw8112": {"voltage": R(230.0, "V"), "current": R(1500.0, "mA"),
                    "power": R(310.5, "W"), "energy": R(12.34, "kWh"),
                    "angle": R(25.84, "°"), "load_type": R("inductive")},
    "op4_hlw8112_other_values": {"voltage": R(0.005, "V"), "current": R(0.0, "mA"),
                                 "power": R(-2.25, "W"), "energy": R(1e6, "kWh"),
                                 "angle": R(-90.5, "°"), "load_type": R("capacitive")},
    "fault_silent_op4": {k: NoAnswer() for k in
                         ("voltage", "current", "power", "energy", "angle", "load_type")},
    # each bad reply is matched to its own query through the byte echo
    "fault_checksum_op4": {"voltage": BadChecksum(0xFA, 0xFB), "current": BadChecksum(0xD1, 0xD2),
                           "power": BadChecksum(0x71, 0x72), "energy": BadChecksum(0xEE, 0xEF),
                           "angle": BadChecksum(0x6F, 0x70), "load_type": BadChecksum(0x58, 0x59)},
    "op6_sn_read": {"serial_number": R("000000000000")},
    "op6_sn_read_set": {"serial_number": R("0c2205435900")},
    "op10_fct": {"fct_result": R(1)},
    "op10_fct_silent": {"fct_result": NoAnswer()},
    "fault_checksum_fct": {"fct_result": BadChecksum(0x31, 0x32)},
    # a key report that is cut short swallows the FCT reply's tail
    "fault_drop_tail_absorbs": {"fct_result": BadChecksum(0x31, 0xAA)},
    "op11_sensor": {"humidity": R(500, "raw"), "temperature": R(250, "raw")},
    "op11_sensor_wide": {"humidity": R(65535, "raw"), "temperature": R(258, "raw")},
    "op12_send_raw": {"ir_send": R("success")},
    "op12_send_new": {"ir_send": R("fail")},
    "op12_receiver_fragment": {"ir_learn": R((1, 2), "timings")},
    "op17_rs485": {"rs485_loopback": R(100.0, "%"), "rs485_sent": R(1), "rs485_matched": R(1)},
    "op17_rs485_mismatch": {"rs485_loopback": R(0.0, "%"), "rs485_sent": R(1),
                            "rs485_matched": R(0)},
    "op17_rs485_silent": {"rs485_loopback": NoAnswer()},
    "op19_relay_control": {"relay_control": R(1)},
    "op19_relay_control_missing": {"relay_control": R(0)},
    "op19_relay_get": {"relay_state": R(0)},
    "op19_relay_get_257": {"relay_state": R(1)},
    "op19_relay_get_minus1": {"relay_state": R(255)},
    "op20_relay_time": {"relay_time": R(305419896, "ms")},
    "op20_relay_time_missing": {"relay_time": R(-1, "ms")},
    "op21_ntc": {"ntc_temperature": R(25.02, "°C")},
    "op21_ntc_out_of_range": {"ntc_temperature": R(0.0, "°C")},
    "op22_frequency": {"mains_frequency": R(50, "Hz")},
    "op23_zero_cross": {"zero_cross": R("normal")},
    "op23_zero_cross_err": {"zero_cross": R("err")},
    "op24_load": {"load_test": R("pass")},
    "op24_short_fail": {"short_test": R("fail")},
    "op25_systick": {"systick": R(2452903544, "ms")},
    "op26_twenty_params": {"relay_multi": R((10, 4))},
    "op2_two_params": {"target_duty": R(60, "%"), "duty": R(40, "%")},
    "fault_reply_straddles_command": {"target_duty": R(50, "%"), "duty": NoAnswer()},
    "op1_key_reports": {"key_states": R((1, 0))},
    "op13_key259": {"key_set": R(3)},
    "op14_bt_prepare": {"bt_init": R(1)},
    "op15_bt_name_full": {"bt_name": R("ABCDEFGH")},
    "op7_exit_temporary": {"presstest_exit": R("temporary")},
    "op8_presstest_result": {"presstest_result": R(1)},
    "op_word_not_a_number": {"firmware_version": R(7)},
    # the tool refused the command line: nothing was asked
    "op21_param": {},
    "op26_one_param": {},
    "op16_usage": {},
    "op_27": {},
    "no_device": {"firmware_version": LinkError("open ttyMCU err.")},
    "not_a_terminal": {"firmware_version": LinkError("tcgetattr err.")},
}


@pytest.mark.parametrize("name", sorted(CASES_WITH_STDOUT))
def test_every_line_of_every_case_is_recognised_and_its_values_read(name):
    case = CASES_WITH_STDOUT[name]
    output = parse_output(case.stdout)
    assert output.unrecognised == []
    if case.stdout:
        assert output.first("ops") is not None or output.first("link_error") is not None
    assert set(EXPECTED) <= set(CASES_WITH_STDOUT)  # a case renamed is not left unread
    if name in EXPECTED:
        assert read_operation(case.args, case.stdout) == EXPECTED[name]


def test_unknown_lines_are_listed_and_the_rest_still_read():
    text = (b"ops:0 \nmcu_get version.\nsomething else\n\xff\xfe garbage\n"
            b"0xaa,0x5,0x0,0x32,0x7,0x39,0xbb,checksum:39 == 39 \nevent id:32\nver:7 \n")
    output = parse_output(text)
    assert output.unrecognised == ["something else", "\ufffd\ufffd garbage"]
    assert read_operation(["0", "1"], output) == {"firmware_version": R(7)}


def test_output_cut_anywhere_never_raises():
    case = CASES_WITH_STDOUT["op4_hlw8112"]
    for end in range(len(case.stdout) + 1):
        values = read_operation(("4",), case.stdout[:end])
        assert set(values) == {"voltage", "current", "power", "energy", "angle", "load_type"}
    assert read_operation(("4",), case.stdout[:60])["voltage"] == NoAnswer()


def test_echo_sharing_a_line_with_the_drivers_report():
    # the RS485 report printed by the main thread after an unrelated key report's echo
    text = ("ops:17 \nlen:55\n0xaa,0xc,0x0,0x91,0x52,0x65,0x63,0x65,0x69,0x76,0x65,0x0,0x54,0xbb,"
            "checksum:54 == 54 \nevent id:91\nrs485 receive result len:12 \n"
            " 52 65 63 65 69 76 65  0\n0xaa,0x5,<rs485>send. 2:1 50.000000%\n")
    output = parse_output(text)
    assert output.unrecognised == []
    assert output.all("rs485_bytes")[0].fields == (0x52, 0x65, 0x63, 0x65, 0x69, 0x76, 0x65, 0)
    assert read_operation(["17"], output)["rs485_loopback"] == R(50.0, "%")


def test_a_bad_reply_to_another_query_is_not_charged_to_this_one():
    # a key report (0x33) with a bad checksum during a frequency read that got no answer
    text = "ops:22 \n0xaa,0x5,0x0,0x33,0x1,0x35,0xbb,checksum:34 == 35 \n"
    assert read_operation(["22"], text) == {"mains_frequency": NoAnswer()}
    # without an echo to tell, the failed check is taken for this reply
    text = "ops:22 \nchecksum:34 == 35 \n"
    assert read_operation(["22"], text) == {"mains_frequency": BadChecksum(0x34, 0x35)}


def test_lines_that_only_look_like_a_value_are_not_one():
    for line in ("sn:                         .", "sn:    c  22   5  43  59.", "ver:x ",
                 "---A vol 1.5 mv = V.", "Relay1 Read:", "NTC_Temp:25.02C", "mcu type 0x.",
                 "checksum:zz == 39 "):
        output = parse_output(f"ops:0 \n{line}\n")
        assert output.unrecognised == [line]


def test_random_bytes_never_raise():
    import random
    rng = random.Random(12)
    alphabet = b"0x,:= \n\xc2\xb0abcdef0123456789.-%<>" + bytes(range(256))
    for _ in range(300):
        text = bytes(rng.choice(alphabet) for _ in range(rng.randrange(200)))
        for op in ("0", "4", "6", "10", "12", "17", "19", "21"):
            for values in (read_operation([op, "1"], text), read_operation([op], text)):
                assert all(isinstance(v, (Reading, NoAnswer, BadChecksum, LinkError))
                           for v in values.values())
