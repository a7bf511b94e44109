#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Drives the completion functions the way bash does on <Tab> and compares
# the offered words.  Usage: completion.sh COMPLETION_DIR
dir=${1:?completion folder}
helpers=/usr/share/bash-completion/bash_completion
if [[ ! -f $helpers ]]; then
    echo "$helpers not found: install the Debian package bash-completion"
    exit 1
fi
source "$helpers" || exit 1
source "$dir/ravelins" || exit 1
source "$dir/cardsim" || exit 1
source "$dir/ravelinctl" || exit 1
# Outside a real completion compopt refuses to run: record what is asked.
compopt() { [[ $1 == -o ]] && comp_options+=" $2"; }
COMP_WORDBREAKS=$' \t\n"\'><=;|&(:'
failures=0

# split_like_bash LINE: sets COMP_WORDS and COMP_CWORD as bash does before
# it calls a completion function: words end at blanks outside quotes, the
# quotes stay in the words, and a run of the word-break characters "=" and
# ":" outside quotes is a word of its own.
split_like_bash()
{
    local line=$1 word='' quote='' c i
    COMP_WORDS=()
    for ((i = 0; i < ${#line}; i++)); do
        c=${line:i:1}
        if [[ -n $quote ]]; then
            word+=$c
            [[ $c == "$quote" ]] && quote=''
        elif [[ $c == [\"\'] ]]; then
            word+=$c
            quote=$c
        elif [[ $c == [[:blank:]] ]]; then
            [[ -n $word ]] && COMP_WORDS+=("$word")
            word=''
        elif [[ $c == [=:] ]]; then
            if [[ -n $word && $word != *[=:] ]]; then
                COMP_WORDS+=("$word")
                word=''
            fi
            word+=$c
        else
            if [[ -n $word && $word == *[=:] ]]; then
                COMP_WORDS+=("$word")
                word=''
            fi
            word+=$c
        fi
    done
    COMP_WORDS+=("$word")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
}

# expect COMMAND-LINE EXPECTED-REPLIES (space separated, in order)
expect()
{
    local line=$1 want=$2 func
    COMP_LINE=$line
    COMP_POINT=${#line}
    split_like_bash "$line"
    COMPREPLY=()
    comp_options=''
    case $line in
        ravelinctl*) func=_ravelinctl ;;
        ravelins*) func=_ravelins ;;
        cardsim*) func=_cardsim ;;
    esac
    $func "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    local got="${COMPREPLY[*]}"
    if [[ $got != "$want" ]]; then
        printf 'FAIL: "%s"\n  want: [%s]\n  got:  [%s]\n' "$line" "$want" "$got"
        failures=$((failures + 1))
    fi
}

# Long names with blanks are reached by unambiguous prefixes that
# getopt_long accepts.
expect 'ravelins --so' '--software'
expect 'ravelins --MC' '--MCU'
expect 'ravelins --Ma' '--Mac'
expect 'ravelins --M' '--MCU --Mac'
expect 'ravelins --Au' '--Auto'
expect 'ravelins --ma' '--manual='
expect 'ravelins --se' '--set='
expect 'ravelins --f' '--frontend-number= --frame='
expect 'ravelins --in' '--information'
# A lone name that takes its value after "=" gets no blank after it.
expect 'ravelins --ma' '--manual='
[[ $comp_options == *nospace* ]] || { echo 'FAIL: "ravelins --ma" is followed by a blank'; failures=$((failures + 1)); }
expect 'ravelins --Au' '--Auto'
[[ $comp_options != *nospace* ]] || { echo 'FAIL: "ravelins --Au" gets no blank after it'; failures=$((failures + 1)); }

# Values after "=": the shell replaces only the text after the "=".
expect 'ravelins --manual=' '1 2 3 4 5 6 7'
expect 'ravelins --level=4' '40 41 42'
expect 'ravelins --H=19' '1920'
expect 'ravelins --profile=' '0 1'

# Values as the next word, for short and long options.
expect 'ravelins -M ' '1 2 3 4 5 6 7'
expect 'ravelins -l 3' '30 31 32'
expect 'ravelins -x ' '0 1'
expect 'ravelins --V 7' '720'
expect 'ravelins -F 2' '24 25'
expect 'ravelins -K ' ''
expect 'ravelins -B ' ''

# After a flag, or after a quoted value with a blank, options follow.
expect 'ravelins --software -' '-a -n -i -r -R -N -c -x -K -A -M -p -l -H -V -B -F -h --adapter= --frontend-number= --software --MCU --Mac --Auto --manual= --profile= --level= --H= --V= --bitrate= --frame= --information --outputformat --mute= --set= --help'
expect 'ravelins -K "Studio 1" --A' '--Auto'
expect "ravelins -K 'a b' -i --out" '--outputformat'

# cardsim: its options, their values, and the command after "--".
expect 'cardsim --f' '--fault --flash-id --flash-busy-time --factory-fill'
expect 'cardsim --seed r' 'random'
expect 'cardsim --fault busy' 'busy= busy=forever busy-at-start'
expect 'cardsim --fault busy=f' 'forever'
expect 'cardsim --node 0:' '0 1'
expect 'cardsim --signal 1280x720@5' '1280x720@50p'
expect 'cardsim --r' '--reg48 --reg4c --request-time --real-time --rack --reset'
expect 'cardsim --d' '--deny'
expect 'cardsim --u' '--unplug-after'
expect 'cardsim --card 1:' '0'
expect 'cardsim --signal n' 'none'
expect 'cardsim --unplug-after ' ''
expect 'cardsim --busy-time ' ''
expect 'cardsim -- bash' "$(compgen -c -- bash | tr '\n' ' ' | sed 's/ $//')"

# ravelinctl: options anywhere, then the command and its words.
expect 'ravelinctl ' 'list status set mute name reset apply diff flash metrics configure'
expect 'ravelinctl --j' '--json'
expect 'ravelinctl -' '--adapter --frontend --mac --json --quiet --force --wait --help --version'
expect 'ravelinctl --json -a 1 s' 'status set'
expect 'ravelinctl --wait --json s' 'status set'
expect 'ravelinctl --wait=30 s' 'status set'
expect 'ravelinctl --mac 00:1a:2b:3c:4d:5e --json ' 'list status set mute name reset apply diff flash metrics configure'
expect 'ravelinctl metrics ' '--config --output'
expect 'ravelinctl configure ' '--config'
expect 'ravelinctl --adapter=1 --quiet re' 'reset'
expect 'ravelinctl set ' 'auto preset advanced'
expect 'ravelinctl set preset e' 'excellent'
expect 'ravelinctl -n 0 set preset ' '1 2 3 4 5 6 7 super ultra excellent good fair poor mobile'
expect 'ravelinctl mute o' 'on off'
expect 'ravelinctl reset ' 'capture mcu'
expect 'ravelinctl flash ' 'id read verify'
expect 'ravelinctl status --' '--adapter --frontend --mac --json --quiet --force --wait --help --version'
expect 'ravelinctl set advanced --' '--profile --level --width --height --bitrate --frame-rate'
expect 'ravelinctl set advanced --profile main --l' '--level'
expect 'ravelinctl set advanced --profile ' 'high main'
expect 'ravelinctl set advanced --profile=' 'high main'
expect 'ravelinctl set advanced --profile=high --level 4' '40 41 42'
expect 'ravelinctl set advanced --profile high --level 41 --width 1280 --height 720 --' '--bitrate --frame-rate'
expect 'ravelinctl set advanced --frame-rate 2' '24 25'
expect 'ravelinctl set advanced --bitrate ' ''
expect 'ravelinctl name ' ''
expect 'ravelinctl status ' ''

if ((failures)); then
    echo "$failures completion case(s) failed"
    exit 1
fi
echo "completion: all cases passed"
