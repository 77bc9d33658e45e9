#!/bin/sh
# Each bad command line exits 2 with a message naming what is wrong; each
# --help exits 0.
tool="$1"
failed=0
check() {  # expected-status expected-text arguments...
    want="$1"; text="$2"; shift 2
    out=$("$tool" "$@" 2>&1 </dev/null); got=$?
    if [ "$got" != "$want" ] || ! printf '%s' "$out" | grep -qF -- "$text"; then
        echo "bridgesim $*: exit $got, output: $out (wanted exit $want and '$text')"
        failed=1
    fi
}
check 2 "usage: bridgesim COMMAND"
check 2 "unknown command 'fly'" fly
check 2 "unknown option '--bogus'" demo --bogus
check 2 "--strategy takes sequential, random or pct, not 'chaos'" demo --strategy chaos
check 2 "--seed takes a number" demo --seed -3
check 2 "option --capture needs a value" demo --capture
check 2 "--peer takes phone, loopback or echo, not 'modem'" term --peer modem
check 2 "--data takes a number from 5 to 8, not '9'" term --data 9
check 2 "--parity takes n, o, e, m or s" term --parity x
check 2 "name a scenario" explore
check 2 "no scenario 'nothing'" explore nothing
check 2 "--strategy and --seed go together" explore cancel-read --seed 4
check 2 "--runs takes a number from 1" explore cancel-read --runs 0
check 2 "no scenario 'nothing'" trace nothing
for command in demo term trace explore; do
    check 0 "usage: bridgesim $command" "$command" --help
done
exit $failed
