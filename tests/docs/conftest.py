def pytest_addoption(parser):
    parser.addoption("--board", action="store_true",
                     help="also run the blocks that need a virtual board ('sh board')")
