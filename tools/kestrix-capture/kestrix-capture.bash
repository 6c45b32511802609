# Bash completion for kestrix-capture: its options, mode names, rates and feature names.
# Mode names come from the cameras on the running bus when one answers within a second, else
# from the modes the IIDC standard defines.

_kestrix_capture_modes() {
    local listed
    listed=$(timeout 1 "$1" --list 2>/dev/null | sed -n 's/^  \([0-9]*x[0-9]*-[a-z0-9]*\) .*/\1/p')
    if [[ -n $listed ]]; then
        printf '%s\n' "$listed" | sort -u
    else
        printf '%s\n' 160x120-yuv444 320x240-yuv422 640x480-yuv411 640x480-yuv422 640x480-rgb \
            640x480-mono8 640x480-mono16 800x600-yuv422 800x600-rgb 800x600-mono8 \
            800x600-mono16 1024x768-yuv422 1024x768-rgb 1024x768-mono8 1024x768-mono16 \
            1280x960-yuv422 1280x960-rgb 1280x960-mono8 1280x960-mono16 1600x1200-yuv422 \
            1600x1200-rgb 1600x1200-mono8 1600x1200-mono16
    fi
}

_kestrix_capture() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local features="brightness auto-exposure sharpness white-balance hue saturation gamma
        shutter gain iris focus temperature trigger zoom pan tilt optical-filter frame-rate"
    COMPREPLY=()
    # Bash splits --opt=value at the '=' (COMP_WORDBREAKS): complete it like --opt value.
    if [[ $cur == = ]]; then
        prev=${COMP_WORDS[COMP_CWORD - 1]}
        cur=
    elif [[ $prev == = ]]; then
        prev=${COMP_WORDS[COMP_CWORD - 2]}
    fi
    case $prev in
        --mode)
            COMPREPLY=($(compgen -W "$(_kestrix_capture_modes "$1")" -- "$cur"))
            return ;;
        --rate)
            COMPREPLY=($(compgen -W "1.875 3.75 7.5 15 30 60" -- "$cur"))
            return ;;
        --speed)
            COMPREPLY=($(compgen -W "100 200 400" -- "$cur"))
            return ;;
        --access-unit)
            COMPREPLY=($(compgen -W "4 8 16 32 64 128" -- "$cur"))
            return ;;
        --fourcc)
            COMPREPLY=($(compgen -W "camera standard" -- "$cur"))
            return ;;
        --get)
            COMPREPLY=($(compgen -W "all $features" -- "$cur"))
            return ;;
        --trigger)
            COMPREPLY=($(compgen -W "off 0 1 2 3 4 5 14 15" -- "$cur"))
            return ;;
        --set)
            compopt -o nospace 2>/dev/null
            COMPREPLY=($(compgen -S = -W "$features" -- "$cur"))
            return ;;
        --codec)
            COMPREPLY=($(compgen -W "ffv1 h264" -- "$cur"))
            return ;;
        --avi | --record | --bmp | --jpeg)
            compopt -o filenames 2>/dev/null
            COMPREPLY=($(compgen -f -- "$cur"))
            return ;;
        --camera)
            COMPREPLY=($(compgen -W "all" -- "$cur"))
            return ;;
        --frames | --seconds | --quality | --buffer-percent | --software-trigger-every | \
            --pre-trigger)
            return ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "--simulate --list --plan --camera --mode --rate --frames --seconds
            --avi --convert --fourcc --record --codec --no-frame-log --pre-trigger
            --start-on-input --bmp --jpeg --quality --get --set --trigger
            --software-trigger-every --json --verbose --speed
            --buffer-percent --access-unit --packet-mode --no-sync --verify-counter --help
            --version -v -vv" -- "$cur"))
    fi
} &&
    complete -F _kestrix_capture kestrix-capture
