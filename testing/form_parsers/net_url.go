// A login application that reads the form with Go's net/http (ParseForm,
// over net/url's ParseQuery) under net/http/cgi. Prints what it read as
// JSON, as parse_qs.py does.
package main

import (
	"encoding/json"
	"net/http"
	"net/http/cgi"
)

func main() {
	cgi.Serve(http.HandlerFunc(func(w http.ResponseWriter, r *http.Request) {
		// A pair with a ';' is an error, the other pairs are still parsed;
		// applications that go on with them are what this shows.
		_ = r.ParseForm()
		read := map[string]any{}
		for _, k := range []string{"username", "domain", "result", "password"} {
			read[k] = nil
			if vs, ok := r.PostForm[k]; ok {
				read[k] = vs[0]
			}
		}
		w.Header().Set("Content-Type", "application/json")
		json.NewEncoder(w).Encode(map[string]any{"read": read, "all": r.PostForm})
	}))
}
