# Which long-lived objects and threads the program makes with and without
# -X and -x, and the order in which "exit" releases them: the tracker's
# release destroys the audio capture, then the video capture, each with its
# compressor; the NDI sender goes after them.
. "$TEST_SOURCE_DIR/lib.sh"
need_board

lifecycle() {   # the constructor and destructor lines of the media objects, in order
    grep -oE '(video_capture|video_compress|audio_capture|audio_compress|network_send) (Constructor|Destructor)' "$1" |
        tr ' ' '_' | tr '\n' ' ' | sed 's/ $//'
}

run() {   # run OPTIONS THREADS_PRESENT THREADS_ABSENT LIFECYCLE
    local options=$1 present=$2 absent=$3 expected=$4
    local in="$scratch/in$RANDOM" reply="$scratch/reply$RANDOM" pid_file="$scratch/pid$RANDOM"
    mkfifo "$in" "$reply"
    # shellcheck disable=SC2086
    virtual-board --pid-file "$pid_file" -- ndi-encoder -p -p $options -I "$in" -O "$reply" >"$scratch/out" 2>"$scratch/err" &
    local board=$!
    exec 3>"$in" 4<"$reply"
    local pid
    pid=$(program_pid "$pid_file")
    [ -n "$pid" ] || fail "[$options] no ndi-encoder process found"
    wait_for_text "$scratch/out" "do_command()" || fail "[$options] the command loop did not start"
    local names
    names=$(thread_names "$pid")
    for name in $present; do
        grep -qx "$name" <<<"$names" || fail "[$options] no thread $name: $(echo $names)"
    done
    for name in $absent; do
        grep -qx "$name" <<<"$names" && fail "[$options] a thread $name"
    done
    echo exit >&3
    wait $board
    check_eq "$?" 0 "[$options] exit status"
    check_eq "$(lifecycle "$scratch/err")" "$expected" "[$options] objects made and released"
    exec 3>&- 4<&-
}

made_video="video_compress_Constructor video_capture_Constructor"
made_audio="audio_capture_Constructor"
gone_audio="audio_capture_Destructor audio_compress_Destructor"
gone_video="video_capture_Destructor video_compress_Destructor"

run "" "vidcap track audcap audcomp" "" \
    "network_send_Constructor $made_video $made_audio $gone_audio $gone_video network_send_Destructor"
run "-X" "audcap audcomp" "vidcap track vidcomp" \
    "network_send_Constructor $made_audio $gone_audio network_send_Destructor"
run "-x" "vidcap track" "audcap audcomp" \
    "network_send_Constructor $made_video $gone_video network_send_Destructor"
run "-X -x" "" "vidcap track vidcomp audcap audcomp" \
    "network_send_Constructor network_send_Destructor"
finish
