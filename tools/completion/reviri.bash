# bash completion for reviri(1): verbs, their sub-verbs and options, and
# values where there is a fixed set (ports, line settings, sim-ctl requests).
# Kept in step with the tool by tests/tools/completion_check.sh.

_reviri() {
  local cur prev words cword
  _init_completion || return

  local global_opts="--port --settings --timeout --pin --storage --json --verbose --help --version"
  local verbs="send store list read delete send-stored listen ussd info phonebook charset at pdu demo sim sim-ctl panel gateway"

  # The verb (and sub-verb) chosen so far; global options and their values
  # may come before it.
  local i verb="" sub=""
  for ((i = 1; i < cword; i++)); do
    case ${words[i]} in
      --port | --settings | --timeout | --pin | --storage) ((i++)) ;;
      -*) ;;
      *)
        if [[ -z $verb ]]; then
          verb=${words[i]}
        elif [[ -z $sub && ($verb == phonebook || $verb == pdu) ]]; then
          sub=${words[i]}
        elif [[ -z $sub && $verb == gateway && ${words[i]} == key ]]; then
          sub=key
        fi
        ;;
    esac
  done

  case $prev in
    --port)
      COMPREPLY=($(compgen -W "$(compgen -G '/dev/ttyUSB*'; compgen -G '/dev/ttyACM*'; compgen -G '/dev/ttyS*')" -- "$cur"))
      return ;;
    --settings)
      COMPREPLY=($(compgen -W "19200,n,8,1 115200,n,8,1 9600,n,8,1" -- "$cur"))
      return ;;
    --storage)
      COMPREPLY=($(compgen -W "SM ME MT" -- "$cur"))
      return ;;
    --symlink | --control | --pdu-log | --token-file | --webhook-secret-file | --config)
      _filedir
      return ;;
    --quirk)
      # The names as the tool's own help lists them.
      local quirks
      quirks=$("${words[0]}" sim --help 2>/dev/null | sed -n 's/.*real devices: \(.*\) (repeatable).*/\1/p' | tr -d ,)
      COMPREPLY=($(compgen -W "$quirks" -- "$cur"))
      return ;;
    --timeout | --pin | --seconds | --count | --delay | --speed | --to | --text | --number | --split | \
      --report-wait | --smsc | --validity | --modem | --db | --listen | --webhook | --sim | --sim-speed | \
      --sim-delay | --max-body | --drain-seconds | --lease-seconds)
      return ;;
    --synchronous)
      COMPREPLY=($(compgen -W "NORMAL FULL" -- "$cur"))
      return ;;
  esac

  local opts
  case $verb in
    "") COMPREPLY=($(compgen -W "$verbs $global_opts" -- "$cur")); return ;;
    send) opts="--to --text --ucs2 --7bit --flash --no-split --report --report-wait --smsc --validity" ;;
    store) opts="--to --text --ucs2" ;;
    read) opts="--outgoing" ;;
    listen) opts="--keep --autodel --seconds --count" ;;
    ussd) opts="--reply --timeout --coding" ;;
    demo) opts="--to" ;;
    sim) opts="--symlink --control --pdu-log --number --delay --speed --seconds --quirk --sticky-echo --noise --glue --split" ;;
    charset) opts="ucs2" ;;
    gateway)
      case $sub in
        key) opts="add list revoke --db --scope" ;;
        *) opts="key --config --modem --db --listen --token-file --webhook --webhook-secret-file --sim --sim-speed --sim-delay
                 --synchronous --max-body --drain-seconds --lease-seconds --command-timeout --send-timeout
                 --retain-days" ;;
      esac ;;
    phonebook)
      case $sub in
        "") opts="select current read write" ;;
        select) opts="SM ME ON FD LD MC RC EN" ;;
        *) opts="" ;;
      esac ;;
    pdu)
      case $sub in
        "") opts="encode decode" ;;
        encode) opts="--to --text --ucs2 --7bit --flash --no-split --smsc --validity --report" ;;
        decode) opts="--submit" ;;
        *) opts="" ;;
      esac ;;
    sim-ctl)
      if [[ $prev == sim-ctl ]]; then
        _filedir
        return
      fi
      opts="inject raw delay speed silent signal quirk dump sent help" ;;
    *) opts="" ;;
  esac
  COMPREPLY=($(compgen -W "$opts --help" -- "$cur"))
}
complete -F _reviri reviri
