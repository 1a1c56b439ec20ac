'''The decoder's NTC fit and Base64 decoder against the tool's own (tool_oracle, built
from the receiver's sources): the same printed temperature for every reading, the same
bytes for every text.'''

import os
import random
import runpy
import subprocess
import sys
import types

import pytest

ORACLE = os.environ.get('MCU_TOOL_ORACLE')
PD = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'mcu_link', 'pd.py')

pytestmark = pytest.mark.skipif(not ORACLE, reason='MCU_TOOL_ORACLE: run through ctest')


def load_pd():
    '''pd.py outside sigrok: a stand-in for the sigrokdecode module is enough for its
    pure functions.'''
    stub = types.ModuleType('sigrokdecode')
    stub.Decoder = object
    stub.OUTPUT_ANN = 0
    stub.SRD_CONF_SAMPLERATE = 0
    saved = sys.modules.get('sigrokdecode')
    sys.modules['sigrokdecode'] = stub
    try:
        module = types.SimpleNamespace(**runpy.run_path(str(PD), run_name='mcu_link_pd'))
    finally:
        if saved is None:
            del sys.modules['sigrokdecode']
        else:
            sys.modules['sigrokdecode'] = saved
    return module


def ask(lines):
    result = subprocess.run([ORACLE], input='\n'.join(lines) + '\n', stdout=subprocess.PIPE,
                            universal_newlines=True, check=True, timeout=60)
    return result.stdout.split('\n')[:len(lines)]


def test_ntc_prints_as_the_tool():
    pd = load_pd()
    raws = list(range(0, 4200)) + [65536, 16777216, 2 ** 31, 2 ** 32 - 1]
    tool = ask(['ntc %d' % r for r in raws])
    mine = ['%.2f' % pd.temp_fitting(r) for r in raws]
    differ = [(r, t, m) for r, t, m in zip(raws, tool, mine) if t != m]
    assert not differ, differ[:10]
    assert tool[2048] == '25.02' and tool[305] == '0.00' and tool[306] != '0.00'


def test_base64_decodes_as_the_tool():
    pd = load_pd()
    rng = random.Random(4)
    alphabet = b'ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/'
    texts = [b'', b'\r\n', b'AQACAA==', b'AQACAA==AQAC', b'AQ\r\nAC', b'QUJD\r\nREVG', b'A=B=',
             b'AB=C', b'-_ \t', bytes([0x80, 0xFF, 0x41, 0x41])]
    for _ in range(3000):
        n = rng.randint(1, 24)
        texts.append(bytes(rng.choice(alphabet) if rng.random() < 0.8 else
                           rng.choice(b'=\r\n -_\x00\xff') for _ in range(n)))
    tool = ask(['b64 ' + t.hex() for t in texts])
    mine = [bytes(pd.base64_decode(t)).hex().upper() or '-' for t in texts]
    differ = [(t, a, b) for t, a, b in zip(texts, tool, mine) if a != b]
    assert not differ, differ[:10]
