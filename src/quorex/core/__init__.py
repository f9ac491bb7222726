"""Native core of quorex: the extension modules simloop, tradearc, metrics and textkit."""
