"""A virtual board's console line and its power (boards/labgrid_adapter): what is read and
written counted and logged, typed bytes paced like a UART, a line that drops and changes bytes,
on an injected clock and seed; the console left empty at power-off."""

import math

import pytest

from boards import labgrid_adapter as lg

BYTE_NS = 10 * 1_000_000_000 / 115200  # 86.8 us


class Console:
    """A console driver as far as watch_console uses it: each write() recorded with the time."""

    def __init__(self, clock, chunk: bytes = b"", take: int | None = None, full: int = 0):
        self.clock, self.chunk, self.take, self.full = clock, chunk, take, full
        self.writes: list[tuple[float, bytes]] = []

    def _read(self, size=1, timeout=10):
        return self.chunk

    def _write(self, data):
        if self.full:  # a socket whose buffer is full (QEMU's, the board's UART not read)
            self.full -= 1
            raise BlockingIOError(11, "Resource temporarily unavailable")
        data = bytes(data[:self.take] if self.take else data)
        self.writes.append((self.clock(), data))
        return len(data)


class Target:
    """A labgrid target with the given drivers (protocol name -> object)."""

    def __init__(self, **drivers):
        self.drivers = drivers

    def get_driver(self, name, activate=True):
        if name not in self.drivers:
            raise lg.NoDriverFoundError(name)
        return self.drivers[name]


class Clock:
    """Time moves only by the sleeps; each sleep is recorded, plus an optional lag (a busy
    host wakes late)."""

    def __init__(self, lag: float = 0.0):
        self.now, self.sleeps, self.lag = 1000.0, [], lag

    def __call__(self):
        return self.now

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        self.now += seconds + self.lag


def watched(clock, damage=lg.LineDamage(), bps=115200, log=None, **console):
    console = Console(clock, **console)
    meter = lg.watch_console(Target(ConsoleProtocol=console), bytearray() if log is None else log,
                             bps, clock=clock, sleep=clock.sleep, damage=damage)
    return console, meter


def test_each_way_counted_logged_and_paced_on_its_own_line_an_idle_line_lending_no_time():
    clock, log = Clock(), bytearray()
    console, meter = watched(clock, log=log, chunk=bytes(range(256)))
    start = clock.now
    for _ in range(9):  # 2304 bytes at 11520 bytes/s: the ninth is through 0.2 s from the start
        assert console._read(1, timeout=1) == bytes(range(256))
    assert (meter.rx, meter.tx, bytes(log)) == (2304, 0, bytes(range(256)) * 9)
    assert clock.now - start == pytest.approx(0.2)
    # The other direction has its own line: 1152 bytes written at the start take 0.1 s, not 0.3.
    clock.now = start
    for _ in range(4):
        assert console._write(b"w" * 288) == 288
    assert (meter.rx, meter.tx, bytes(log)) == (2304, 1152, bytes(range(256)) * 9)
    assert b"".join(d for _, d in console.writes) == b"w" * 1152
    assert clock.now - start == pytest.approx(0.1)
    # Long after, the bytes still take their own time.
    clock.now = start = start + 60
    console._write(b"x" * 1152)
    assert clock.now - start == pytest.approx(0.1)
    # At full speed nothing waits (400 KiB: 35 s at 115200 bit/s); without a console (SSH)
    # nothing is counted.
    console, meter = watched(clock, bps=0, chunk=b"x" * 4096)
    clock.sleeps.clear()
    for _ in range(100):
        console._read()
    assert (meter.rx, clock.sleeps) == (409600, [])
    assert lg.watch_console(Target(), bytearray()) == lg.ConsoleMeter(0, 0)


@pytest.mark.parametrize("lag_us", [0, 250])
def test_typed_bytes_reach_the_board_at_the_line_rate_from_the_writes_start(lag_us):
    """Byte k of a write leaves at start + k * 86.8 us, in one write() with every byte due by
    then: late wake-ups send bigger groups but never move the schedule."""
    clock = Clock(lag=lag_us / 1e6)
    console, meter = watched(clock)
    start = clock.now
    line = bytes(range(200))
    assert console._write(line) == 200
    sent = b"".join(data for _, data in console.writes)
    assert sent == line and meter.tx == 200
    k = 0
    for at, data in console.writes:
        assert at >= start + (k + len(data) - 1) * BYTE_NS / 1e9 - 1e-9  # none before its time
        if lag_us == 0:
            assert len(data) == 1  # woken on time: one byte each time
        k += len(data)
    if lag_us:  # 250 us late: about three bytes are due at each wake-up
        assert 2 <= len(console.writes[1][1]) <= 4 and len(console.writes) < 200 / 2
    # The write returns when the last byte is through; the next one starts on the free line.
    assert clock.now >= start + 200 * BYTE_NS / 1e9 - 1e-9
    assert clock.now - start < 200 * BYTE_NS / 1e9 + 2 * lag_us / 1e6 + 1e-9
    free = start + 200 * BYTE_NS / 1e9
    clock.now = free - 0.001  # written again before the line is free: it waits its turn
    console.writes.clear()
    console._write(b"ab")
    assert console.writes[0][0] >= free - 1e-9


@pytest.mark.parametrize("bps", [0, 115200])
def test_a_write_that_the_driver_takes_in_part_or_not_yet_is_finished(bps):
    # in parts, and after a while of taking nothing: every byte goes, at full speed or each
    # at its time
    clock = Clock()
    console, _ = watched(clock, bps=bps, take=3, full=5)
    assert console._write(b"0123456789") == 10
    assert b"".join(d for _, d in console.writes) == b"0123456789"
    # a console that takes nothing for good: the board is gone, not waited for forever
    console, _ = watched(clock, bps=bps, full=10**9)
    with pytest.raises(BlockingIOError):
        console._write(b"x")


def damaged(share: float, seed: int, n: int = 100_000, chunk: int = 997, direction="rx"):
    """n zero bytes over a line that damages share of them: a changed byte is not zero."""
    clock = Clock()
    damage = lg.LineDamage(**{direction: share}, seed=seed)
    console, meter = watched(clock, damage, bps=0, chunk=bytes(chunk))
    meter.damaging = True
    out = bytearray()
    if direction == "rx":
        for _ in range(n // chunk):
            out += console._read()
    else:
        for _ in range(n // chunk):
            assert console._write(bytes(chunk)) == chunk
        out = bytearray(b"".join(d for _, d in console.writes))
    return bytes(out), meter, n // chunk * chunk


@pytest.mark.parametrize("direction", ["rx", "tx"])
@pytest.mark.parametrize("share,seed", [(0.001, 1), (0.01, 2), (0.3, 3)])
def test_the_line_damages_its_share_of_bytes_and_counts_each(direction, share, seed):
    out, meter, n = damaged(share, seed, direction=direction)
    dropped = getattr(meter, f"{direction}_dropped")
    corrupted = getattr(meter, f"{direction}_corrupted")
    # The counts are what happened: zeros that vanished, and zeros that are not zero any more.
    assert len(out) == n - dropped
    assert sum(1 for b in out if b) == corrupted
    assert meter.damaged == dropped + corrupted
    # Binomial counts: within 5 standard deviations of their means for any seed.
    hits = dropped + corrupted
    assert abs(hits - n * share) <= 5 * math.sqrt(n * share * (1 - share)), hits
    assert abs(dropped - hits / 2) <= 5 * math.sqrt(hits / 4), (dropped, corrupted)
    other = "tx" if direction == "rx" else "rx"
    assert getattr(meter, f"{other}_dropped") == getattr(meter, f"{other}_corrupted") == 0


def test_the_same_seed_damages_the_same_bytes_whatever_the_chunks():
    a, _, _ = damaged(0.01, 7, n=20_000, chunk=1000)
    b, _, _ = damaged(0.01, 7, n=20_000, chunk=40)
    c, _, _ = damaged(0.01, 8, n=20_000, chunk=1000)
    assert a == b and a != c


def test_share_zero_or_switched_off_changes_nothing():
    clock = Clock()
    data = bytes(range(256)) * 40
    console, meter = watched(clock, lg.LineDamage(rx=0.0, tx=0.0, seed=5), bps=0, chunk=data)
    meter.damaging = True
    assert console._read() == data and console._write(data) == len(data)
    assert console.writes == [(clock.now, data)]
    console, meter = watched(clock, lg.LineDamage(rx=1.0, tx=1.0), bps=0, chunk=data)
    assert console._read() == data  # not damaging yet: the login is left whole
    assert (meter.rx, meter.damaged) == (len(data), 0)
    meter.damaging = True
    assert console._read() != data and meter.rx_dropped + meter.rx_corrupted == len(data)


def test_damaged_and_paced_typing_sends_what_is_left_on_time():
    clock = Clock()
    console, meter = watched(clock, lg.LineDamage(tx=0.2, seed=4))
    meter.damaging = True
    start = clock.now
    assert console._write(bytes(500)) == 500
    sent = b"".join(d for _, d in console.writes)
    assert len(sent) == 500 - meter.tx_dropped and meter.tx == 500
    assert sum(1 for b in sent if b) == meter.tx_corrupted > 0
    assert clock.now == pytest.approx(start + len(sent) * BYTE_NS / 1e9)


def test_damage_option_text():
    assert lg.LineDamage.parse("") == lg.LineDamage() and not lg.LineDamage()
    d = lg.LineDamage.parse("rx=0.001, tx=0.02,seed=9")
    assert d == lg.LineDamage(0.001, 0.02, 9) and lg.LineDamage.parse(d.text()) == d
    for bad in ("rx=2", "rx=x", "seed=1.5", "loss=0.1", "rx=0.1,rx=0.2", "rx"):
        with pytest.raises(ValueError, match=rf"console_damage: '.*' in '{bad}' is not"):
            lg.LineDamage.parse(bad)


class Expect:
    buffer = b"old board\r\nmipsel# "


class Strategy:
    def __init__(self, console):
        self.console, self.calls = console, []

    def transition(self, status):
        self.calls.append((status, self.console._expect.buffer))


def test_power_off_leaves_nothing_of_the_board_for_the_next_shell_to_find():
    # the next board's shell must be found by its own prompt, not the old board's
    console = Console(Clock())
    console._expect = Expect()
    strategy = Strategy(console)
    lg.power_off(Target(ConsoleProtocol=console, Strategy=strategy))
    assert strategy.calls == [("off", b"old board\r\nmipsel# ")]
    assert console._expect.buffer == b""
    with pytest.raises(lg.NoDriverFoundError, match="add `BoardStrategy: {}` to its drivers"):
        lg.power_on(Target())  # a target without a strategy, told what to add
