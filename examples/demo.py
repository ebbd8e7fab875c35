"""The main job: what nuvra.core offers on this machine."""

from nuvra import core


def main():
    print(f"nuvra.core {core.__version__}: {core.__doc__}")
    print("IP versions:", ", ".join(core.IpVersion.__members__))
    for name, mode in core.soc.ClockMode.__members__.items():
        print(f"clock mode {name}: {int(mode) / 1e6:g} MHz")


if __name__ == "__main__":
    main()
