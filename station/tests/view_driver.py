"""Plays a small line of three slots through the operator's view on stdout, in about 3 s:
slot1 passes, slot2 fails, slot3 loses its board half-way. test_view.py watches it in tmux."""

import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

from view import Phase, SlotStatus, View, make_view  # noqa: E402

# (command, title, expected seconds, measurements it judges)
STEPS = [("mcu_test 0 0", "MCU work mode", 0.4, 1),
         ("mcu_test 4", "mains metering: voltage, current, power, ...", 0.8, 3),
         ("mcu_test 17", "RS485 loopback", 0.6, 1),
         ("mcu_test 10", "MCU factory test (FCT)", 0.6, 1)]
TOTAL = sum(s[3] for s in STEPS)


def play(view: View, slot: str, serial: str, failing: str | None, lost_at: int | None) -> None:
    view.update(SlotStatus(slot, Phase.BOOTING))
    time.sleep(0.3)
    passed = judged = 0
    for number, (command, title, wait, judges) in enumerate(STEPS, 1):
        if number == lost_at:
            view.update(SlotStatus(slot, Phase.LOST, serial, number, len(STEPS), passed=passed,
                                   judged=judged, total=TOTAL,
                                   note="no prompt: \x1b[31mlogin incorrect\x1b[0m\r"))
            return
        started = time.monotonic()
        while (left := wait - (time.monotonic() - started)) > 0:
            view.update(SlotStatus(slot, Phase.TESTING, serial, number, len(STEPS), command,
                                   title, left, passed, judged, TOTAL))
            time.sleep(0.2)
        for _ in range(judges):
            judged += 1
            good = command != failing
            passed += good
            view.say(f"{slot} [{judged}/{TOTAL}] {title.split(':')[0]:<24s} "
                     f"{'PASS' if good else 'FAIL'}")
    verdict = "pass" if passed == TOTAL else "fail"
    view.update(SlotStatus(slot, Phase.DONE, serial, 0, len(STEPS), passed=passed,
                           judged=judged, total=TOTAL, verdict=verdict, boards=1,
                           note=f"reports/{serial}.json"))


def main() -> int:
    slots = [("slot1", "0c2205435900", None, None),
             ("slot2", "0c2205435901", "mcu_test 17", None),
             ("slot3", "0c2205435902", None, 3)]
    view = make_view([s[0] for s in slots], sys.stdout)
    threads = [threading.Thread(target=play, args=(view, *s)) for s in slots]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    view.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
