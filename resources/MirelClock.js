// The "MirelClock" object of the application's own pages, injected at
// document start of the top frame; the clock window's bridge fills in the
// page prefixes that get it and the token that each request carries. It runs
// before any script of the page, so the functions it keeps (prompt, the JSON
// pair) are the browser's own, whatever the page does to window later.
(function () {
    "use strict";
    const pages = @PAGES@;
    const here = window.location.href;
    if (!pages.some(function (page) { return here.indexOf(page) === 0; })) return;
    const ask = window.prompt.bind(window);
    const encode = JSON.stringify;
    const decode = JSON.parse;
    const token = "@TOKEN@";
    function call(name, args) {
        const answer = ask(encode({mirelClock: token, call: name, args: args}));
        return answer === null ? null : decode(answer);
    }
    const clock = Object.freeze({
        log: function (text) { call("log", [String(text)]); },
        changeHotkey: function () { call("changeHotkey", []); },
        getPreference: function (key) { return call("getPreference", [String(key)]); },
        setPreference: function (value, key) {
            call("setPreference", [value === undefined ? null : value, String(key)]);
        }
    });
    Object.defineProperty(window, "MirelClock", {value: clock, enumerable: true});
})();
