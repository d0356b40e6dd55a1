"""Messages printed by C++ reach sys.stdout / sys.stderr, in order with the script's prints."""

from conftest import run_python


def test_messages_interleave_with_prints_in_a_captured_session(capsys):
    from lumetra import _testing

    print("before")
    _testing.message("out", "from C++\n")
    print("after")
    _testing.message_format("err", "Warning:", 7, 2.0 / 3.0)
    _testing.message("err", "second\n")
    captured = capsys.readouterr()
    assert captured.out == "before\nfrom C++\nafter\n"
    assert captured.err == "Warning: 7 0.667\nsecond\n"


def test_messages_keep_order_when_output_is_a_pipe():
    # A pipe makes sys.stdout block-buffered: C stdio writes would overtake the prints.
    result = run_python("""
        import sys
        from lumetra import _testing
        for i in range(3):
            print("python", i)
            _testing.message("out", f"native {i}\\n")
            print("python err", i, file=sys.stderr)
            _testing.message("err", f"native err {i}\\n")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "".join(f"python {i}\nnative {i}\n" for i in range(3))
    assert result.stderr == "".join(f"python err {i}\nnative err {i}\n" for i in range(3))


def test_non_utf8_bytes_do_not_break_a_message(capsys):
    from lumetra import _testing

    _testing.message("out", "caf\u00e9\n")
    assert capsys.readouterr().out == "caf\u00e9\n"


def test_device_printf_output_reaches_standard_output(capfd):
    from lumetra import _testing

    _testing.device_printf(70)
    lines = capfd.readouterr().out.splitlines()
    assert sorted(lines) == sorted(f"device thread {i}" for i in range(70))
