# Sourced by the scripts that run Windows programs: a Wine prefix of their own, with a
# virtual display for the programs that draw, and the way to take it all down again.
# wine_session_start sets WINEPREFIX and DISPLAY; wine_session_stop ends only what it began.

wine_session_start() {
  WINEPREFIX=$(mktemp -d /tmp/tarvik-wine-XXXXXX)
  export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
  # Xvfb picks a free display number and tells it on the descriptor.
  local number_file="$WINEPREFIX.display"
  Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$number_file" \
    >"$WINEPREFIX.xvfb.log" 2>&1 </dev/null &
  WINE_SESSION_XVFB=$!
  for _ in $(seq 100); do [ -s "$number_file" ] && break; sleep 0.1; done
  [ -s "$number_file" ] || { echo "Xvfb did not start"; cat "$WINEPREFIX.xvfb.log"; return 1; }
  export DISPLAY=":$(cat "$number_file")"
  # A persistent wineserver with its output in a file, warmed by one throw-away process:
  # otherwise every test's wine leaves a server holding ctest's pipes open until it times out.
  wineserver -p >"$WINEPREFIX.server.log" 2>&1 </dev/null
  wine cmd /c exit >/dev/null 2>&1 </dev/null
  # Chinese captions readable on a system of any language, as Windows links Arial to its
  # CJK faces; without a window manager Wine draws the title bar itself.
  wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
    /v Arial /t REG_MULTI_SZ /d 'wqy-microhei.ttc,WenQuanYi Micro Hei' /f >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
}

wine_session_stop() {
  wineserver -k 2>/dev/null || true
  [ -n "${WINE_SESSION_XVFB:-}" ] && kill "$WINE_SESSION_XVFB" 2>/dev/null
  rm -rf "$WINEPREFIX" "$WINEPREFIX".*
}
