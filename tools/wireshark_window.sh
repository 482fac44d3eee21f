#!/usr/bin/env bash
# Wireshark's own window under Xvfb, driven as a person drives it, with the
# installed package: a capture from a missing source shows the error dialog
# and the window stays responsive (its OK button closes it); a capture
# refused (a PCAP as the source) leaves the next capture its dialogs; when
# nothing is captured, the reason comes before Wireshark's own "No packets
# captured"; File > Open of a record capture shows its packets. Run as a
# user who is not root, with wireshark, Xvfb, xdotool and ImageMagick
# installed; screenshots go to OUT.
#
#   tools/wireshark_window.sh OUT SAMPLE.bin SAMPLE.pcap SKIPPED.bin
# (SKIPPED.bin: a record capture with records skipped for their length)
set -uo pipefail
out=$1 sample=$2 sample_pcap=$3 skipped=$4
export DISPLAY=:91 LANG=C.UTF-8
home=$(mktemp -d)
export HOME=$home XDG_CONFIG_HOME=$home/.config

fail() { echo "FAIL (window): $1"; import -window root "$out/failed.png" 2>/dev/null; exit 1; }
started=()
cleanup() {
    local pid
    for pid in "${started[@]}"; do kill "$pid" 2>/dev/null; done
    sleep 0.5
    for pid in "${started[@]}"; do kill -9 "$pid" 2>/dev/null; done
    rm -rf "$home"
}
trap cleanup EXIT

Xvfb :91 -screen 0 1280x900x24 -nolisten tcp > "$out/xvfb.log" 2>&1 &
started+=($!)
for _ in $(seq 50); do xdpyinfo > /dev/null 2>&1 && break; sleep 0.1; done
xdpyinfo > /dev/null 2>&1 || fail "Xvfb did not start"

# Waits up to SECONDS for COMMAND to succeed.
wait_for() {
    local seconds=$1
    shift
    for _ in $(seq $((seconds * 10))); do "$@" && return 0; sleep 0.1; done
    return 1
}
visible_named() { xdotool search --onlyvisible --name "$1" > /dev/null 2>&1; }
# The visible windows titled exactly "Wireshark": its dialogs. (A pattern
# anchored at both ends does not find them: their title is matched elsewhere.)
dialogs() {
    local id
    for id in $(xdotool search --onlyvisible --name '.*' 2>/dev/null); do
        [ "$(xdotool getwindowname "$id" 2>/dev/null)" = Wireshark ] && echo "$id"
    done
}
export -f dialogs

# 1. A capture whose source is missing.
wireshark -i wpan2pcap -k -o extcap.wpan2pcap.source:/nonexistent/missing.bin > "$out/missing.log" 2>&1 &
started+=($!)
wireshark=$!
wait_for 60 grep -q 'cannot open the source "/nonexistent/missing.bin"' "$out/missing.log" ||
    fail "no error from the extcap program: $(tail -n 3 "$out/missing.log")"
# The dialog is a window of its own, titled "Wireshark", beside the main one.
wait_for 30 bash -c '[ -n "$(dialogs)" ]' || fail "no error dialog"
sleep 1
import -window root "$out/missing-source.png"
main_thread_wait=$(cat "/proc/$wireshark/wchan" 2>/dev/null)
echo "   missing source: $(grep -o 'Error from extcap pipe: .*' "$out/missing.log" | head -n 1)"
echo "   the window's main thread waits in ${main_thread_wait:-?}"
case $main_thread_wait in
    *fifo* | *pipe* | *open*) fail "the window's main thread is stuck in $main_thread_wait" ;;
esac
dialog=$(dialogs | head -n 1)
# No window manager runs: the window is given the focus, and the keys are
# pressed as a keyboard presses them.
xdotool windowfocus --sync "$dialog" key Return
wait_for 10 bash -c "! dialogs | grep -qx $dialog" || fail "the error dialog's OK did not close it: the window does not respond"
echo "   the dialog's OK closed it: the window responds"
kill "$wireshark" 2>/dev/null
wait_for 10 sh -c "! kill -0 $wireshark 2>/dev/null" || kill -9 "$wireshark" 2>/dev/null

# 2. A capture refused, then the next one from the same place (a record
# capture copied there meanwhile), started again: it gets its
# information dialog (records were skipped), as Wireshark opened its control
# pipes for it.
cp "$sample_pcap" "$home/source.bin" || fail "no PCAP to refuse"
wireshark -i wpan2pcap -k -o "extcap.wpan2pcap.source:$home/source.bin" > "$out/refused.log" 2>&1 &
started+=($!)
wireshark=$!
wait_for 60 grep -q 'is a PCAP file, not a record capture' "$out/refused.log" || fail "the PCAP was not refused"
wait_for 30 bash -c '[ -n "$(dialogs)" ]' || fail "no dialog for the refusal"
sleep 1
import -window root "$out/refused.png"
# OK to it, and to Wireshark's own that may follow.
for _ in 1 2; do
    dialog=$(dialogs | head -n 1)
    [ -n "$dialog" ] && xdotool windowfocus --sync "$dialog" key Return
    sleep 2
done
[ -z "$(dialogs)" ] || fail "dialogs left after the refusal"
cp "$skipped" "$home/source.bin"
for id in $(xdotool search --onlyvisible --name '.*'); do
    case $(xdotool getwindowname "$id") in *wpan2pcap* | *"Network Analyzer"*) main=$id ;; esac
done
# The toolbar's first button, Start (Ctrl+E goes to the capture filter's
# field, which has the focus on the welcome page).
xdotool mousemove --window "$main" 20 40 click 1
wait_for 30 bash -c '[ -n "$(dialogs)" ]' ||
    fail "the capture after a refused one raised no information dialog: Wireshark did not open its control pipes"
sleep 1
import -window root "$out/after-refusal.png"
echo "   the capture after a refused one: its information dialog shown"
kill "$wireshark" 2>/dev/null
wait_for 10 sh -c "! kill -0 $wireshark 2>/dev/null" || kill -9 "$wireshark" 2>/dev/null

# 3. Nothing captured: the reason first, alone; Wireshark's "No packets
# captured" after it.
: > "$home/empty.bin"
wireshark -i wpan2pcap -k -o "extcap.wpan2pcap.source:$home/empty.bin" > "$out/empty.log" 2>&1 &
started+=($!)
wireshark=$!
wait_for 60 grep -q 'holds no whole record of 151 bytes: there is nothing to capture' "$out/empty.log" ||
    fail "no reason for the empty capture: $(tail -n 2 "$out/empty.log")"
wait_for 30 bash -c '[ -n "$(dialogs)" ]' || fail "no dialog for the empty capture"
sleep 2
[ "$(dialogs | wc -l)" = 1 ] || fail "$(dialogs | wc -l) dialogs at once for the empty capture"
import -window root "$out/empty-reason.png"
xdotool windowfocus --sync "$(dialogs | head -n 1)" key Return
wait_for 20 bash -c '[ -n "$(dialogs)" ]' || fail "Wireshark's own dialog did not follow"
sleep 1
import -window root "$out/empty-after.png"
echo "   nothing captured: the reason alone first, then Wireshark's own dialog"
kill "$wireshark" 2>/dev/null
wait_for 10 sh -c "! kill -0 $wireshark 2>/dev/null" || kill -9 "$wireshark" 2>/dev/null

# 4. File > Open of a record capture. A plugin of this user's notes each
# packet the window dissects.
mkdir -p "$home/.local/lib/wireshark/plugins"
cat > "$home/.local/lib/wireshark/plugins/window_probe.lua" <<'LUA'
local probe = Proto("window_probe", "Packets the window dissected")
local comment = Field.new("frame.comment")
local seen = {}
function probe.dissector(tvb, pinfo, tree)
    if seen[pinfo.number] then return end
    seen[pinfo.number] = true
    local notes = { comment() }
    local file = io.open(os.getenv("HOME") .. "/dissected", "a")
    file:write(pinfo.number, "\t", notes[1] and tostring(notes[1].value) or "", "\n")
    file:close()
end
register_postdissector(probe)
LUA
cp "$sample" "$home/capture.bin"
wireshark > "$out/open.log" 2>&1 &
started+=($!)
wireshark=$!
wait_for 60 visible_named "The Wireshark Network Analyzer" || fail "the window did not open"
sleep 2
main=$(xdotool search --onlyvisible --name "The Wireshark Network Analyzer" | head -n 1)
xdotool windowfocus --sync "$main" key ctrl+o
wait_for 20 visible_named "Open Capture File" || fail "File > Open showed no dialog"
sleep 1
xdotool type --delay 20 "$home/capture.bin"
sleep 0.5
import -window root "$out/open-dialog.png"
xdotool key Return
wait_for 60 visible_named "capture.bin" || fail "the record capture did not open: $(tail -n 3 "$out/open.log")"
wait_for 30 sh -c "[ \"\$(wc -l < '$home/dissected' 2>/dev/null)\" -ge 100 ]"
sleep 2
import -window root "$out/file-open.png"
shown=$(sort -u "$home/dissected" | wc -l)
first=$(sort -n "$home/dissected" | head -n 1)
echo "   File > Open of a record capture: the window titled \"$(xdotool getwindowname "$(xdotool search --onlyvisible --name capture.bin | head -n 1)")\", $shown packets dissected, the first: $first"
[ "$shown" = 100 ] || fail "$shown packets of 100 shown"
[ "$(printf '%s' "$first" | cut -f2)" = "record 1, flags 0x01" ] || fail "the first packet's comment: $first"
