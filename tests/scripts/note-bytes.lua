-- Control bytes in a note come out escaped.
note("line 0: ISDN\0 tab\t end")
