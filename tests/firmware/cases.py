"""The firmware test cases: command lines run in the UEFI Shell, each with
the console text, lasterror and "Brisvane" variable it must leave. The
tables that hold the help screen are built from it: the suite takes it from
brisvane-vars, which prints it from the same source.

Every case sets its own stage: the command lines in `before` run first and
are not checked, so a case passes or fails on its own whatever ran before
it. `stored` is the value the variable must hold afterwards, as text without
its final NUL, or ABSENT.
"""

from typing import NamedTuple, Optional, Tuple

from vmtest import machine

ABSENT = None

NOTHING = b""

OPTIONS = (
    "-nomap -nostartup -startup -noversion -noconsolein -noconsoleout "
    "-nointerrupt -nonest -exit -delay"
)


def rejected(word):
    return b"ERROR: Invalid shell startup option: " + word.encode() + b"\r\n"


def cleared():
    """The stage for a case that starts with no variable."""
    return ("brisvane -c",)


def holding(options):
    """The stage for a case that starts with the variable holding options."""
    return (f"brisvane -s {options}",)


class Case(NamedTuple):
    name: str
    command: Tuple[str, ...]  # shell lines; the first is the command under test
    console: bytes  # what the console must receive, byte for byte
    # As `echo %lasterror%` prints it on a 64-bit machine: the status's code
    # (vmtest.shell.lasterror gives each machine's); None: not checked.
    lasterror: Optional[str]
    stored: Optional[str]  # the variable's value afterwards, or ABSENT
    before: Tuple[str, ...] = ()
    plain: bool = False  # compare the console with terminal escapes removed


def case(name, command, console, lasterror, stored, before=(), plain=False):
    if isinstance(command, str):
        command = (command,)
    return Case(name, tuple(command), console, lasterror, stored, tuple(before), plain)


def dispatch(usage):
    return [
        case("no words: usage", "brisvane", usage, "0x0", ABSENT, cleared()),
        case("no words: usage, value kept", "brisvane", usage, "0x0", "-nomap", holding("-nomap")),
        case("one unknown word: usage", "brisvane -x", usage, "0x0", "-nomap", holding("-nomap")),
        case("-s alone: usage", "brisvane -s", usage, "0x0", "-nomap", holding("-nomap")),
        case("--set alone: usage", "brisvane --set", usage, "0x0", "-nomap", holding("-nomap")),
        case("-C is no mode: usage, nothing deleted", "brisvane -C", usage, "0x0", "-nomap", holding("-nomap")),
        case("-G is no mode: usage, no answer", "brisvane -G", usage, "0x0", "-nomap", holding("-nomap")),
        case("-S with options: usage, nothing stored", "brisvane -S -nomap", usage, "0x2", ABSENT, cleared()),
        case("-S with options: value kept", "brisvane -S -exit", usage, "0x2", "-nomap", holding("-nomap")),
        case("--SET with options: usage", "brisvane --SET -exit", usage, "0x2", "-nomap", holding("-nomap")),
        case("-set with options: usage", "brisvane -set -exit", usage, "0x2", "-nomap", holding("-nomap")),
        case("two unknown words: usage", "brisvane -x -y", usage, "0x2", "-nomap", holding("-nomap")),
        case("-c deletes", "brisvane -c", NOTHING, "0x0", ABSENT, holding("-nomap")),
        case("-c with nothing to delete: EFI_NOT_FOUND", "brisvane -c", NOTHING, "0xE", ABSENT, cleared()),
        case("-c with a further word: usage, not deleted", "brisvane -c -nomap", usage, "0x2", "-nomap",
             holding("-nomap")),
        case("-c -c: usage, not deleted", "brisvane -c -c", usage, "0x2", "-nomap", holding("-nomap")),
        case("-g, variable absent", "brisvane -g", NOTHING, "0x0", ABSENT, cleared()),
        case("-g, variable present", "brisvane -g", NOTHING, "0x1", "-nomap", holding("-nomap")),
        case("-g, a long value present", "brisvane -g", NOTHING, "0x1", OPTIONS, holding(OPTIONS)),
        case("-g right after -c", "brisvane -g", NOTHING, "0x0", ABSENT, holding("-exit") + ("brisvane -c",)),
        case("-g right after a set", "brisvane -g", NOTHING, "0x1", "-exit", cleared() + holding("-exit")),
        case("-g with a further word: usage, no query", "brisvane -g -g", usage, "0x2", "-nomap", holding("-nomap")),
        case("-g with a further word, absent: usage", "brisvane -g x", usage, "0x2", ABSENT, cleared()),
        case("-g then -s: usage, nothing stored", "brisvane -g -s -nomap", usage, "0x2", ABSENT, cleared()),
    ]


SET = [
    case("one option", "brisvane -s -nomap", NOTHING, "0x0", "-nomap", cleared()),
    case("--set, two options", "brisvane --set -nomap -exit", NOTHING, "0x0", "-nomap -exit", cleared()),
    case("mixed case folded", "brisvane -s -NoMap", NOTHING, "0x0", "-nomap", cleared()),
    case("upper-case -DELAY and its number", "brisvane -s -DELAY 3", NOTHING, "0x0", "-delay 3", cleared()),
    case("all ten options", f"brisvane -s {OPTIONS}", NOTHING, "0x0", OPTIONS, cleared()),
    case("all ten options in upper case", f"brisvane -s {OPTIONS.upper()}", NOTHING, "0x0", OPTIONS, cleared()),
    case("a repeat is stored twice", "brisvane -s -nomap -NOMAP", NOTHING, "0x0", "-nomap -nomap", cleared()),
    case("-nostartup with -startup", "brisvane -s -nostartup -startup", NOTHING, "0x0", "-nostartup -startup", cleared()),
    case("-delay 5", "brisvane -s -delay 5", NOTHING, "0x0", "-delay 5", cleared()),
    case("-delay 5 -exit", "brisvane -s -delay 5 -exit", NOTHING, "0x0", "-delay 5 -exit", cleared()),
    case("-delay as the last word", "brisvane -s -exit -delay", NOTHING, "0x0", "-exit -delay", cleared()),
    case("-delay alone", "brisvane -s -delay", NOTHING, "0x0", "-delay", cleared()),
    case("-delay then an option", "brisvane -s -delay -exit", NOTHING, "0x0", "-delay -exit", cleared()),
    case("operand with leading zeros", "brisvane -s -delay 007", NOTHING, "0x0", "-delay 007", cleared()),
    case("empty operand between words", 'brisvane -s -delay "" -exit', NOTHING, "0x0", "-delay  -exit", cleared()),
    case("empty operand last", 'brisvane -s -nomap -delay ""', NOTHING, "0x0", "-nomap -delay ", cleared()),
    case("two delays with operands", "brisvane -s -delay 1 -Delay 22", NOTHING, "0x0", "-delay 1 -delay 22", cleared()),
    case("a shorter value replaces a longer one", "brisvane -s -nonest", NOTHING, "0x0", "-nonest",
         holding("-nomap -nostartup -exit")),
    case("a longer value replaces a shorter one", "brisvane -s -noconsolein -noconsoleout", NOTHING, "0x0",
         "-noconsolein -noconsoleout", holding("-exit")),
    case("twenty words", "brisvane -s" + " -NoConsoleOut" * 20, NOTHING, "0x0",
         " ".join(["-noconsoleout"] * 20), cleared()),
]

REJECT = [
    case("unknown word, nothing stored", "brisvane -s -bogus", rejected("-bogus"), "0x2", ABSENT, cleared()),
    case("unknown word keeps the earlier value", "brisvane -s -exit -bogus", rejected("-bogus"), "0x2", "-nomap",
         holding("-nomap")),
    case("the error line shows the word lower-cased", "brisvane -s -BoGus", rejected("-bogus"), "0x2", ABSENT,
         cleared()),
    case("only the first unknown word is reported", "brisvane -s -nomap -Foo -bar", rejected("-foo"), "0x2",
         "-exit", holding("-exit")),
    case("-delay x", "brisvane -s -delay X", rejected("x"), "0x2", ABSENT, cleared()),
    case("-delay:5", "brisvane -s -delay:5", rejected("-delay:5"), "0x2", "-exit", holding("-exit")),
    case("a number after another option", "brisvane -s -nomap 5", rejected("5"), "0x2", ABSENT, cleared()),
    case("a number first", "brisvane -s 5", rejected("5"), "0x2", ABSENT, cleared()),
    case("a second number after -delay", "brisvane -s -delay 5 6", rejected("6"), "0x2", ABSENT, cleared()),
    case("a signed operand", "brisvane -s -delay -5", rejected("-5"), "0x2", ABSENT, cleared()),
    case("an operand with a unit", "brisvane -s -delay 5s", rejected("5s"), "0x2", ABSENT, cleared()),
] + [
    case(f"near miss {word}", f"brisvane -s {word}", rejected(word.lower()), "0x2", "-nomap", holding("-nomap"))
    for word in ("nomap", "--nomap", "-nomaps", "-no", "-", "-delay5", "-Exit:")
] + [
    case("-g after a rejection, absent before", "brisvane -g", NOTHING, "0x0", ABSENT,
         cleared() + ("brisvane -s -bogus",)),
    case("-g after a rejection, present before", "brisvane -g", NOTHING, "0x1", "-nomap",
         holding("-nomap") + ("brisvane -s -exit -bogus",)),
]


def harness_text(status, **vectors):
    """What the harness prints after brisvane.efi returns: its status (an
    EFI_STATUS of the machine), then each installed vector as it is
    afterwards."""
    text = f"harness: brisvane.efi returned 0x{status:X}\r\n"
    for label in ("parameters", "interface"):
        if label in vectors:
            text += f"harness: {label} vector now: {vectors[label]}\r\n"
    return text.encode()


# The codes of the errors, without the error bit (vmtest.machine.efi_status).
EFI_LOAD_ERROR = 0x1
EFI_INVALID_PARAMETER = 0x2
EFI_OUT_OF_RESOURCES = 0x9


def shell_protocols(usage, firmware):
    """Cases started by the harness, which installs the chosen shell
    protocols itself, on firmware's machine."""
    def harness_report(code, **vectors):
        return harness_text(machine.efi_status(code, firmware), **vectors)

    return [
        case("no shell protocol: EFI_OUT_OF_RESOURCES, nothing printed", "harness none",
             harness_report(EFI_OUT_OF_RESOURCES), "0x9", "-nomap", holding("-nomap")),
        case("parameters protocol only, as the shell gives it", "harness parameters brisvane -s -NoNest",
             harness_report(0, parameters="brisvane -s -nonest"), "0x0", "-nonest", cleared()),
        case("interface only: set", "harness interface brisvane -s -NoMap -Delay 3",
             harness_report(0, interface="brisvane -s -nomap -delay 3"), "0x0", "-nomap -delay 3", cleared()),
        case("interface only: -g present", "harness interface brisvane -g",
             harness_report(EFI_LOAD_ERROR, interface="brisvane -g"), "0x1", "-exit", holding("-exit")),
        case("interface only: -g absent", "harness interface brisvane -g",
             harness_report(0, interface="brisvane -g"), "0x0", ABSENT, cleared()),
        case("interface only: rejection", "harness interface brisvane -s -nomap -Bogus",
             rejected("-bogus") + harness_report(EFI_INVALID_PARAMETER, interface="brisvane -s -nomap -bogus"),
             "0x2", "-exit", holding("-exit")),
        case("interface only: -c", "harness interface brisvane -c",
             harness_report(0, interface="brisvane -c"), "0x0", ABSENT, holding("-exit")),
        case("interface only: usage", "harness interface brisvane -x",
             usage + harness_report(0, interface="brisvane -x"), "0x0", "-exit", holding("-exit")),
        case("both: the parameters vector sets, the interface's -c is ignored",
             "harness both brisvane -s -NoNest :: brisvane -c",
             harness_report(0, parameters="brisvane -s -nonest", interface="brisvane -c"),
             "0x0", "-nonest", holding("-nomap")),
        case("both: the parameters vector queries, the interface's set is ignored",
             "harness both brisvane -g :: brisvane -s -Exit",
             harness_report(0, parameters="brisvane -g", interface="brisvane -s -Exit"),
             "0x0", ABSENT, cleared()),
    ]


def shell_help(man, sections):
    """What the shell prints for a manual page: the lines of the sections
    named (all of them for None) in the file's order, each ended by CR LF,
    with trailing blanks and line ends removed from the whole and one CR LF
    put back."""
    lines = man.decode("ascii").split("\r\n")
    if not lines[0].startswith(".TH "):
        raise ValueError("a manual page starts with its .TH line")
    text = []
    reading = False
    for line in lines[1:]:
        if line.startswith("#"):
            continue
        if line.startswith(".TH"):
            break
        if line.startswith(".SH"):
            reading = sections is None or line[3:].lstrip(" ") in sections
            continue
        if reading:
            text.append(line + "\r\n")
    return ("".join(text).rstrip("\r\n ") + "\r\n").encode()


HELP_SECTIONS = ("NAME", "SYNOPSIS", "OPTIONS", "DESCRIPTION", "EXAMPLES")


def example_script(man):
    """The script shown in the manual page's EXAMPLES section: the lines
    indented by six spaces after the line that introduces it."""
    lines = man.decode("ascii").split("\r\n")
    start = next(i for i, line in enumerate(lines) if line.startswith("  * In a script"))
    script = []
    for line in lines[start + 1:]:
        if not line.startswith(" " * 6):
            break
        script.append(line[6:])
    return tuple(script)


def manual(man):
    script = example_script(man)
    return [
        case("help brisvane prints the manual page", "help brisvane",
             shell_help(man, HELP_SECTIONS), "0x0", ABSENT, cleared(), plain=True),
        # The shell never starts brisvane for -?: it runs "help brisvane".
        case("brisvane -? prints the manual page", "brisvane -?",
             shell_help(man, HELP_SECTIONS), "0x0", "-exit", holding("-exit"), plain=True),
        case("help brisvane -verbose prints every section", "help brisvane -verbose",
             shell_help(man, None), "0x0", "-exit", holding("-exit"), plain=True),
        case("the manual's example script, options stored", script,
             b"Brisvane is installed\r\n", None, "-exit", holding("-exit")),
        case("the manual's example script, nothing stored", script,
             b"Brisvane is not installed\r\n", None, ABSENT, cleared()),
    ]


# Boot 1 ends with this value stored; boot 2 powers up on the same NVRAM.
FINAL_SET = case("set before power-off", "brisvane -s -NoMap -Delay 3 -Exit", NOTHING, "0x0",
                 "-nomap -delay 3 -exit", cleared())

AFTER_POWER_CYCLE = [
    case("-g after a power cycle: present", "brisvane -g", NOTHING, "0x1", "-nomap -delay 3 -exit"),
    case("-c after a power cycle", "brisvane -c", NOTHING, "0x0", ABSENT),
    case("-g after -c: absent", "brisvane -g", NOTHING, "0x0", ABSENT),
]


def first_boot(usage, man, firmware):
    """The cases of the first boot on firmware, (group, case) pairs; it ends
    by storing FINAL_SET's value."""
    groups = [
        ("dispatch", dispatch(usage)),
        ("set", SET),
        ("reject", REJECT),
        ("shell protocols", shell_protocols(usage, firmware)),
        ("manual", manual(man)),
        ("persistence", [FINAL_SET]),
    ]
    return [(group, case) for group, table in groups for case in table]


# --- Secure Boot ------------------------------------------------------------
# A boot of its own with Secure Boot enforced: brisvane.efi is the image
# signed with Debian's public test key (enrolled in db, used for tests only)
# and unsigned\brisvane.efi the product as built. The firmware's refusal
# stops the script that starts an image, so the unsigned one is started from
# a script of its own, REFUSED_SCRIPT, and startup.nsh carries on.

REFUSED_SCRIPT = "refused.nsh"
REFUSED_LINES = ("unsigned\\brisvane -c",)

SECURE_BOOT = [
    case("signed: set", "brisvane -s -NoMap -Delay 3", NOTHING, "0x0", "-nomap -delay 3", cleared()),
    case("signed: -g, variable present", "brisvane -g", NOTHING, "0x1", "-nomap", holding("-nomap")),
    case("signed: -g, variable absent", "brisvane -g", NOTHING, "0x0", ABSENT, cleared()),
    case("signed: -c deletes", "brisvane -c", NOTHING, "0x0", ABSENT, holding("-nomap")),
    case("signed: unknown word, value kept", "brisvane -s -exit -bogus", rejected("-bogus"), "0x2", "-nomap",
         holding("-nomap")),
    case("unsigned: refused with Access Denied, the variable untouched", REFUSED_SCRIPT,
         b"Script Error Status: Access Denied (line number 1)\r\n", "0xF", "-nomap", holding("-nomap")),
]


# --- brisvane-vars and the firmware on one NVRAM file ---------------------
# A store of its own (a fresh copy of OVMF's template, or AAVMF's once the
# firmware has formatted it): brisvane-vars sets a value before the first
# boot, the shell replaces it, set/clear cycles of brisvane-vars compact the
# store twice and a few more runs leave retired records before the last
# value, which a second boot must read.


class VarsRun(NamedTuple):
    """One run of brisvane-vars on the NVRAM file while the machine is off."""
    name: str
    words: Tuple[str, ...]  # after NVRAM-FILE
    exit: int  # its exit status, the lasterror brisvane would leave
    output: str  # all it may print on stdout
    query: bool  # it must leave the file byte for byte as it was


# Stored by brisvane-vars on the fresh copy, before its first boot.
VARS_WORDS = ("-s", "-NoMap", "-Delay", "3")
VARS_VALUE = "-nomap -delay 3"
# Stored by the shell in that boot.
SHELL_WORDS = ("-s", "-NoNest", "-Delay", "2")
SHELL_VALUE = "-nonest -delay 2"
# Left by brisvane-vars after the cycles: unlike every value stored before
# it, so that an older record taken for the current one shows.
CYCLES_VALUE = " ".join(["-nointerrupt"] * 30) + " -delay 7"

VARS_THEN_SHELL = [
    case("-g sees the value brisvane-vars stored", "brisvane -g", NOTHING, "0x1", VARS_VALUE),
    case("the shell replaces it", "brisvane " + " ".join(SHELL_WORDS), NOTHING, "0x0", SHELL_VALUE),
]

SHELL_THEN_VARS = [
    VarsRun("-g: present", ("-g",), 1, "", True),
    VarsRun("--show prints the value", ("--show",), 0, SHELL_VALUE + "\n", True),
]

# Run after the cycles' last compaction.
AFTER_COMPACTION = [
    VarsRun("a set retires the value", ("-s", "-NoStartup", "-Exit"), 0, "", False),
    VarsRun("-c retires that one", ("-c",), 0, "", False),
    VarsRun("the last value", ("-s", *CYCLES_VALUE.split(" ")), 0, "", False),
]

AFTER_CYCLES = [
    case("-g sees the value the cycles left", "brisvane -g", NOTHING, "0x1", CYCLES_VALUE),
]

AFTER_SECOND_BOOT = [
    VarsRun("--show prints the value", ("--show",), 0, CYCLES_VALUE + "\n", True),
    VarsRun("-c deletes it", ("-c",), 0, "", False),
    VarsRun("-g: absent", ("-g",), 0, "", True),
    VarsRun("--show: absent", ("--show",), 0, "Brisvane is not set.\n", True),
]

