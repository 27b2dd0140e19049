# Camera control from end to end: NDI PTZ metadata and tally from
# ndi-monitor, VISCA over IP from the LAN and from a local process, and the
# network-settings responder, all reaching the virtual camera and back.
. "$TEST_SOURCE_DIR/lib.sh"
need_root

peer="python3 $TEST_SOURCE_DIR/udp_peer.py"
log="$scratch/camera.log"
camera_lines() { cat "$log" 2>/dev/null; }
# Hex bytes as text, with the answers' framing bytes 02, FF and 03 shown as <, | and >.
as_text() {
    python3 -c 'import sys; d = bytes.fromhex(sys.stdin.read())
print(d.replace(b"\xff", b"|").replace(b"\x02", b"<").replace(b"\x03", b">").decode("latin1"), end="")'
}

# A link that cannot be opened ends start-up with its message and status 1.
echo exit | virtual-board --no-camera -- ndi-encoder -X -x >"$scratch/out" 2>"$scratch/err"; status=$?
check_eq "$status" 1 "no camera: status"
check_eq "$(tail -1 "$scratch/err")" "Cannot open UART /dev/ttyS1!" "no camera: message"

# PTZ metadata and tally from a receiver on the LAN. The monitor's tally
# goes when it leaves, so the lamp goes on, then off.
virtual-board --camera-log "$log" --lan "ndi-monitor --connect 192.168.5.20 --quiet --seconds 1.5 --tally program \
    --ptz '<qrn_ptz_pan_tilt_speed pan_speed=\"0.5\"/>' \
    --ptz '<qrn_ptz_white_balance mode=\"manual\" red=\"1\" blue=\"0\"/>' \
    --ptz '<qrn_ptz_recall_preset index=\"12\"/>' --ptz '<no_such_thing/>' --ptz '<broken'" \
    -- ndi-encoder -X -x >"$scratch/out" 2>"$scratch/err"; status=$?
check_eq "$status" 0 "metadata: status after SIGTERM"
own="0F A0 A0 A0 05 05 05 05"
# The requests keep their order; the tally lamp has a thread of its own, so
# where its commands fall among them is the scheduler's choice: on, then off.
check_eq "$(camera_lines | grep -v ' 7E 01 0A ')" "$own 82 01 06 01 0C 00 01 03 FF
$own 82 01 04 35 05 FF
$own 82 01 04 43 00 00 0F 0F FF
$own 82 01 04 44 00 00 00 00 FF
$own 82 01 04 3F 02 0C FF" "metadata in the camera log"
check_eq "$(camera_lines | grep ' 7E 01 0A ')" "$own 82 01 7E 01 0A 00 02 FF
$own 82 01 7E 01 0A 00 03 FF" "tally in the camera log"

# VISCA over IP from 192.168.5.7: the command reaches the camera behind its
# tag, the replies come back to port 52381 with the sequence number restored.
virtual-board --camera-log "$log" --lan "$peer --to 192.168.5.20:52381 --listen 52381 --wait 1.5 --gap 0.1 \
    '01 00 00 09 00 00 01 FF 81 01 06 01 0C 0C 01 03 FF' '01 10 00 05 00 00 00 02 81 09 04 00 FF' \
    '01 00 00 06 00 00 00 03 82 01 04 07 02 FF' '01 00 00 06 00 00 00 04 81 01 04 07 02 00' \
    '02 00 00 02 00 00 00 05 01 00' '02 01 00 01 00 00 00 06 01'" \
    -- ndi-encoder -X -x >"$scratch/out" 2>"$scratch/err"; status=$?
check_eq "$status" 0 "VISCA over IP: status"
check_eq "$(camera_lines)" "01 A8 05 07 00 00 01 FE 81 01 06 01 0C 0C 01 03 FF
00 A8 05 07 00 00 00 02 81 09 04 00 FF" "VISCA over IP: what the camera got"
replies=$(grep '^52381 192.168.5.20:' "$scratch/out" | cut -d' ' -f3-)
check_eq "$replies" "01 11 00 03 00 00 01 FF 90 41 FF
01 11 00 03 00 00 01 FF 90 51 FF
01 11 00 04 00 00 00 02 90 50 02 FF
02 01 00 01 00 00 00 00 01" "VISCA over IP: replies to 192.168.5.7 port 52381"

# A local process on 127.0.0.1:52385, for camera 2, gets its replies and
# its acknowledgement on port 52386.
virtual-board --camera-log "$log" -- sh -c "ndi-encoder -X -x </dev/null & pid=\$!
    until ss -Hlun 'sport = :52385' | grep -q .; do sleep 0.05; done
    $peer --to 127.0.0.1:52385 --listen 52386 --gap 0.1 '01 00 00 05 00 00 00 07 82 09 04 00 FF' \
        '02 00 00 02 00 00 00 08 01 00' '01 00 00 05 00 00 00 09 81 09 04 00 FF'
    kill -TERM \$pid; wait \$pid" >"$scratch/out" 2>"$scratch/err"; status=$?
check_eq "$status" 0 "local VISCA: status"
check_eq "$(camera_lines)" "00 00 00 01 00 00 00 07 82 09 04 00 FF" "local VISCA: what the camera got"
check_eq "$(grep '^52386 127.0.0.1:52385' "$scratch/out" | cut -d' ' -f3-)" "01 11 00 04 00 00 00 07 A0 50 02 FF
02 01 00 01 00 00 00 00 01" "local VISCA: replies on 52386"

# The network-settings enquiry, broadcast from port 52380 as discovery tools
# do: exactly one reply each, and then the network stays quiet.
enquiry="02 45 4E 51 3A 6E 65 74 77 6F 72 6B FF 03"
virtual-board --hostname camera-room-3 --mac 02:11:22:33:44:55 --lan "$peer --to 255.255.255.255:52380 --port 52380 \
    --listen 52381 --wait 2.5 --gap 0.5 '$enquiry' '41 42 43'" \
    -- ndi-encoder -X -x >"$scratch/out" 2>"$scratch/err"; status=$?
check_eq "$status" 0 "network settings: status"
text=$(grep '^52380 192.168.5.20:52380' "$scratch/out" | cut -d" " -f3- | as_text | head -c 2000)
check_eq "$text" "<MAC:02-11-22-33-44-55|INFO:network|MODEL:DIZIZI|SOFTVERSION:1.5.0|IPADR:192.168.5.20|MASK:255.255.255.0|GATEWAY:192.168.5.1|NAME:camera-r|WRITE:on|><NAK:02-11-22-33-44-55|>" \
    "network settings: one reply and one NAK"
# (The peer hears its own broadcasts too: those come from 192.168.5.7.)
check_eq "$(grep -c ' 192.168.5.20:' "$scratch/out")" 2 "network settings: nothing more from the appliance"

finish
