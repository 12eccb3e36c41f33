#!/usr/bin/env python3
"""Checks that the unit tests catch deliberate one-line faults.

Applies each fault below to the source alone, rebuilds the test program that
should notice it, runs it through CTest (so integration programs get their
headless session) and puts the file back. A fault is caught when the build or
the run fails. Prints one line per fault and a total. Faults are grouped by
module; add new ones to their module's group.

    scripts/mutants.py [BUILD-DIR] [NAME-FILTER]
"""
import pathlib
import subprocess
import sys

# (name, test program, file, text as written, text with the fault)
FAULTS = [
    # dictation
    ("undo refuses unless idle", "dictation_controller_test", "src/dictation/DictationController.cpp",
     "    if (fillFields_.empty()) return;", "    if (fillFields_.empty() || !phase_.get().isIdle()) return;"),
    ("insert refuses unless idle", "dictation_controller_test", "src/dictation/DictationController.cpp",
     "    if (words.empty()) return;", "    if (words.empty() || !phase_.get().isIdle()) return;"),
    ("target checks swapped", "dictation_controller_test", "src/dictation/DictationController.cpp",
     "    if (!services_.desktop.accessibilityTrusted()) {\n        report(accessibilityMessage);\n"
     "        return false;\n    }\n    auto front = services_.desktop.frontApplication();\n"
     "    if (!front || front->processId() == services_.desktop.ownProcessId()) {\n"
     "        report(clickIntoMessage);\n        return false;\n    }\n",
     "    auto front = services_.desktop.frontApplication();\n"
     "    if (!front || front->processId() == services_.desktop.ownProcessId()) {\n"
     "        report(clickIntoMessage);\n        return false;\n    }\n"
     "    if (!services_.desktop.accessibilityTrusted()) {\n        report(accessibilityMessage);\n"
     "        return false;\n    }\n"),
    ("shortest take longer", "dictation_controller_test", "src/dictation/DictationController.h",
     "minimumTake = 0.25;", "minimumTake = 0.3;"),
    ("meter floor moved", "dictation_controller_test", "src/dictation/DictationController.cpp",
     "(static_cast<double>(*power) + 50.0) / 50.0", "(static_cast<double>(*power) + 60.0) / 60.0"),
    ("problem shown shorter", "dictation_controller_test", "src/dictation/DictationController.h",
     "problemDisplayTime = 8.0;", "problemDisplayTime = 7.0;"),
    ("history cap off by one", "dictation_controller_test", "src/dictation/DictationController.h",
     "historyCap = 20;", "historyCap = 21;"),
    ("unmatched note recorded", "dictation_controller_test", "src/dictation/DictationController.cpp",
     "if (request.spoken) record(", "if (!request.spoken) record("),
    ("fill forgets its fields", "dictation_controller_test", "src/dictation/DictationController.cpp",
     "    fillFields_ = std::move(fields);\n", ""),
    ("panel not hidden before paste", "dictation_controller_test", "src/dictation/DictationController.cpp",
     "    if (willInsert) willInsert();\n", ""),
    ("empty note title kept", "dictation_controller_test", "src/dictation/DictationController.cpp",
     "title && !title->empty() ? *title", "title ? *title"),
    ("quick tap leaves the take running", "dictation_controller_test", "src/dictation/DictationController.cpp",
     "    if (std::exchange(finishPending_, false)) finish();\n", ""),
    ("second start not turned away", "dictation_controller_test", "src/dictation/DictationController.cpp",
     "    if (startPending_) return;\n", ""),
    ("paste without its delay", "dictation_controller_test", "src/dictation/DictationController.h",
     "pasteDelay = 0.15;", "pasteDelay = 0.0;"),
    ("used recording kept", "dictation_controller_test", "src/dictation/DictationController.cpp",
     "~RecordingFile() { audio::Recording::discard(path_); }", "~RecordingFile() {}"),
    ("inserted text untrimmed", "dictation_controller_test", "src/dictation/DictationController.cpp",
     "const std::string words = trimmed(text);",
     "const std::string words = text.empty() ? trimmed(text) : text;"),
    ("lost microphone not noticed", "dictation_platform_test", "src/dictation/DictationController.cpp",
     "    if (services_.recorder.interrupted()) return endInterruptedTake();\n", ""),
    ("hidden autostart entry counted", "dictation_platform_test", "src/platform/linux/XdgLoginItem.cpp",
     "return hidden ? Status::notRegistered : Status::enabled;", "return hidden && false ? Status::notRegistered : Status::enabled;"),
    ("active window ignored", "dictation_platform_test", "src/platform/linux/X11Desktop.cpp",
     "_NET_ACTIVE_WINDOW\", XA_WINDOW)) window = *active;", "_NET_ACTIVE_WINDOW\", XA_WINDOW)) (void)active;"),
    ("focused child not traced to its window", "dictation_platform_test", "src/platform/linux/X11Desktop.cpp",
     "        window = parent;", "        break;"),
    # paste
    ("clipboard back sooner", "paste_test", "src/fill/Paste.h", "restoreDelay = 0.35;", "restoreDelay = 0.3;"),
    ("newer clipboard overwritten", "paste_test", "src/fill/Paste.cpp",
     "clipboard.restore(snapshot, ours);", "clipboard.restore(snapshot);"),
    ("one capture retry fewer", "paste_test", "src/fill/Paste.h", "captureAttempts = 3;", "captureAttempts = 2;"),
    ("torn clipboard read kept", "paste_test", "src/fill/Paste.cpp",
     "const bool last = attempt + 1 == captureAttempts;", "const bool last = true;"),
    ("unnoticed copy overwritten", "paste_integration_test", "src/platform/linux/GtkClipboard.cpp",
     "while (GdkEvent* event = gdk_display_get_event(gdk_display_get_default())) {",
     "while (GdkEvent* event = nullptr) {"),
    ("only three modifiers lifted", "paste_integration_test", "src/platform/linux/XTestKeyboard.cpp",
     "i < 8 * perModifier;", "i < 3 * perModifier;"),
    ("spare key borrowed only when v exists", "paste_integration_test", "src/platform/linux/XTestKeyboard.cpp",
     "if (v == 0 && borrowed_ == 0 &&", "if (v != 0 && borrowed_ == 0 &&"),
    ("clipboard read cut short for a slow owner", "paste_integration_test", "src/platform/linux/GtkClipboard.h",
     "captureBudget = 3.0;", "captureBudget = 1.0;"),
    # fill
    ("near text beside a label", "fill_engine_test", "src/fill/FillEngine.cpp",
     "if (!label) field.near = near;", "field.near = near;"),
    ("PIN not secret", "fill_engine_test", "src/fill/FillEngine.cpp", r"aadhaar|\bpin\b|", "aadhaar|"),
    ("combo boxes skipped", "fill_engine_test", "src/fill/FillEngine.cpp",
     " ||\n           role == Accessibility::Role::comboBox;", ";"),
    ("fill endpoint path", "fill_service_test", "src/fill/FillService.cpp", '"/api/v1/fill"', '"/api/fill"'),
    ("token glued to its scheme", "fill_service_test", "src/fill/FillService.cpp",
     '"Bearer " + token', '"Bearer" + token'),
    ("more children queued", "fill_engine_test", "src/fill/FillEngine.cpp",
     "childrenPerElement = 200;", "childrenPerElement = 201;"),
    ("late write not put back", "fill_engine_test", "src/fill/FillEngine.cpp",
     "if (now && *now != original)", "if (false && now && *now != original)"),
    ("reformatted value told applied", "fill_engine_test", "src/fill/FillEngine.cpp",
     "readBack == value ? Applied::applied : Applied::check", "Applied::applied"),
    ("answer wait shorter than a slow target", "fill_atspi_test", "src/fill/FillEngine.cpp",
     "messagingTimeoutSeconds = 2.0;", "messagingTimeoutSeconds = 0.4;"),
    ("field limit overrun", "fill_engine_test", "src/fill/FillEngine.cpp",
     "static_cast<int>(fields.size()) < maxFields", "static_cast<int>(fields.size()) <= maxFields"),
    # audio
    ("old take left behind", "audio_recorder_test", "src/audio/Recorder.cpp", "    discard(previous);\n", ""),
    ("level never metered", "audio_recorder_integration_test", "src/platform/linux/PulseAudioInput.cpp",
     "level_ = meter_.add(samples, count);", "meter_.add(samples, count);"),
    ("take's file left unfinished", "audio_recorder_integration_test", "src/platform/linux/PulseAudioInput.cpp",
     "            writer_->finish();\n", ""),
    ("too long not told", "audio_cloud_recogniser_test", "src/audio/CloudRecogniser.cpp",
     "    if (response.status == 413) throw RecogniserError::tooLong();\n", ""),
    ("take of the minimum dropped", "audio_recorder_test", "src/audio/Recorder.cpp",
     "if (captured < minimumDuration)", "if (captured <= minimumDuration)"),
    ("server message dropped", "audio_cloud_recogniser_test", "src/audio/CloudRecogniser.cpp",
     'stringField(response.body, "message")', '""'),
    ("leftover takes kept", "audio_recorder_integration_test", "src/audio/Recorder.cpp",
     "input_(&input) { discardAllTakes(); }", "input_(&input) {}"),
    ("take readable by others", "audio_recorder_integration_test", "src/platform/linux/PulseAudioInput.cpp",
     "::fchmod(fd, 0600)", "::fchmod(fd, 0644)"),
    # session
    ("one token attempt fewer", "session_store_test", "src/session/SessionStore.h",
     "accessTokenAttempts = 4;", "accessTokenAttempts = 3;"),
    ("hand-over pause shorter", "session_panel_web_view_test", "src/session/PanelWebView.h",
     "adoptPause = 0.9;", "adoptPause = 0.8;"),
    ("empty host accepted", "session_panel_web_view_test", "src/session/WebAddress.cpp",
     "    if (parts.host.empty()) return std::nullopt;\n", ""),
    ("sign-in during a token question lost", "session_store_test", "src/session/SessionStore.cpp",
     "if (generation_ == asked) {", "if (generation_ >= asked) {"),
    ("tokens asked of a foreign page", "session_panel_web_view_test", "src/session/PanelWebView.cpp",
     "    if (!WebAddress::sameOrigin(view_->currentURL().value_or(\"\"), addresses_.apiBase)) co_return std::nullopt;\n",
     ""),
    ("frame messages obeyed", "session_panel_web_view_test", "src/session/PanelWebView.cpp",
     "handlerName || !message.mainFrame ||", "handlerName ||"),
    ("crashed page not reloaded", "session_web_view_integration_test", "src/platform/linux/WebKitWebView.cpp",
     "reason != WEBKIT_WEB_PROCESS_TERMINATED_BY_API &&", "reason == WEBKIT_WEB_PROCESS_TERMINATED_BY_API &&"),
    ("load time-out ignored", "session_web_view_integration_test", "src/platform/linux/WebKitWebView.cpp",
     "if (timeoutSeconds > 0)", "if (timeoutSeconds > 100)"),
    ("another site shown inside the panel", "session_web_view_integration_test", "src/session/PanelWebView.cpp",
     "    return WebView::Policy::cancel;\n}\n\nvoid PanelWebView::requestNewWindow",
     "    return WebView::Policy::allow;\n}\n\nvoid PanelWebView::requestNewWindow"),
    # app
    ("empty setting used", "app_config_test", "src/app/Config.cpp",
     " && !it->get_ref<const std::string&>().empty()", ""),
    ("repeated press counted", "app_hotkey_test", "src/app/Hotkey.cpp",
     "            if (pressed == held_) return;\n", ""),
    ("first panel later", "app_delegate_test", "src/app/AppDelegate.h",
     "firstPanelDelay = 0.6;", "firstPanelDelay = 0.7;"),
    ("setup watch slower", "app_delegate_test", "src/app/AppDelegate.h",
     "setupWatchPeriod = 2.0;", "setupWatchPeriod = 2.5;"),
    ("quick tap left recording", "app_delegate_test", "src/app/AppDelegate.cpp",
     "if (dictating || controller.isStarting(Mode::dictate))", "if (dictating)"),
    ("failed self test exits 0", "app_self_test_test", "src/app/SelfTest.cpp",
     "return failures_ == 0 ? 0 : 1;", "return 0;"),
    ("debug report without the flag", "app_program_process_test", "src/app/DebugCommands.cpp",
     " && std::filesystem::exists(folder_ / flagFileName, error)", ""),
    # faults
    ("dead target's fill reported", "faults_test", "src/dictation/DictationController.cpp",
     "    if (target->isTerminated()) {\n", "    if (false) {\n"),
    # panel
    ("panel inset", "panel_view_test", "src/panel/FloatingPanel.h", "inset = 12;", "inset = 10;"),
    ("outside watch outlives hide", "panel_view_test", "src/panel/FloatingPanel.cpp",
     "void FloatingPanel::hide() {\n    outsideClick_.reset();\n", "void FloatingPanel::hide() {\n"),
    ("panel under the dock", "panel_window_test", "src/platform/linux/GtkPanelWindow.cpp",
     "gdk_monitor_get_workarea(monitor, &area);", "gdk_monitor_get_geometry(monitor, &area);"),
    # platform
    ("background work not drained", "platform_glib_loop_test", "src/platform/linux/GlibMainLoop.cpp",
     "g_thread_pool_free(finishing, FALSE, TRUE);", "g_thread_pool_free(finishing, FALSE, FALSE);"),
    ("cancelled timer fires", "platform_glib_loop_test", "src/platform/linux/GlibMainLoop.cpp",
     "if (!call->cancelled || !*call->cancelled) call->fn();", "call->fn();"),
    ("walk's tree description loses editable inputs", "fill_atspi_test", "src/platform/linux/AtspiTreeSnapshot.h",
     '"org.a11y.atspi.EditableText",', '"org.a11y.atspi.Editable",'),
    ("walk's texts sent ahead cut short", "fill_atspi_test", "src/platform/linux/AtspiAccessibility.cpp",
     'parameters = g_variant_new("(ii)", 0, -1);', 'parameters = g_variant_new("(ii)", 0, 8);'),
    ("numbers lost on the direct connection", "fill_atspi_test", "src/platform/linux/AtspiDirectConnection.cpp",
     "const dbus_int32_t number = g_variant_get_int32(value.get());", "const dbus_int32_t number = 0;"),
    ("tray tooltip kept when it changes", "app_tray_item_test", "src/platform/linux/TrayStatusItem.cpp",
     "if (text == impl_->toolTip) return;", "if (text != impl_->toolTip) return;"),
    # service
    ("e-mail label not read as email", "service_field_mapper_test", "service/FieldMapper.cpp",
     '        lowered.replace(at, 6, "email");', "        ++at;"),
    ("stale save accepted", "service_api_test", "service/Notes.cpp", "OR version = ?)", "OR version >= ?)"),
    ("title-only save clears the body", "service_api_test", "service/Notes.cpp",
     "change.title.value_or(\"\"), named(change.body)", "change.title.value_or(\"\"), std::int64_t{1}"),
    ("reused refresh token spares its session", "service_accounts_test", "service/Accounts.cpp",
     "DELETE FROM sessions WHERE id = (SELECT", "DELETE FROM sessions WHERE 0 = (SELECT"),
    ("foreign origin accepted", "service_api_test", "service/Service.cpp",
     'origin.rfind("http://", 0) != 0 || !known(origin.substr(7))', 'origin.rfind("http://", 0) != 0'),
    ("rebound host name accepted", "service_api_test", "service/Service.cpp",
     'request.has("Host") && !known(request.header("Host"))', 'request.has("Host") && request.path.empty()'),
    ("sign-out ignores its refresh token", "service_api_test", "service/Service.cpp",
     "    if (refreshToken) accounts_.signOutByRefresh(*refreshToken);\n", ""),
    ("sign-in attempts never limited", "service_api_test", "service/SignInThrottle.cpp",
     "times.size() < limit ? 0", "times.size() <= limit ? 0"),
    ("dripping heads never cut", "service_abuse_test", "service/HttpServer.cpp",
     "                ::shutdown(peer.fd, SHUT_RDWR);\n", ""),
]


def run(build, fault):
    name, program, path, before, after = fault
    source = pathlib.Path(path)
    original = source.read_text()
    if before not in original:
        return "absent"
    source.write_text(original.replace(before, after, 1))
    try:
        built = subprocess.run(["cmake", "--build", build, "--target", program], capture_output=True)
        if built.returncode != 0:
            return "caught (build)"
        try:
            ran = subprocess.run(["ctest", "--test-dir", build, "-R", f"^{program}([.]|$)", "-j2", "--timeout", "300"],
                                 capture_output=True, timeout=900)
        except subprocess.TimeoutExpired:
            return "caught (hang)"
        if b"No tests were found" in ran.stdout:
            return "no such test"
        return "caught" if ran.returncode != 0 else "MISSED"
    finally:
        source.write_text(original)


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    only = sys.argv[2] if len(sys.argv) > 2 else ""
    caught = tried = 0
    for fault in FAULTS:
        if only not in fault[0]:
            continue
        verdict = run(build, fault)
        print(f"{verdict:16} {fault[0]}  [{fault[1]}]", flush=True)
        if verdict not in ("absent", "no such test"):
            tried += 1
            caught += verdict.startswith("caught")
    print(f"caught {caught} of {tried}")
    # Put the objects back as they were.
    subprocess.run(["cmake", "--build", build, "--target", "unit_tests"], capture_output=True)


if __name__ == "__main__":
    main()
