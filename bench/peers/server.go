// The capecho protocol served the way Go serves TCP: one goroutine per
// connection on package net, its defaults kept (TCP_NODELAY on for every
// connection), so bench/compare measures what a Go user would ship.
// Usage: capecho-go-server PORT (0 = any free port). SIGTERM's default action ends it.
package main

import (
	"fmt"
	"log"
	"net"
	"os"
	"time"
)

var greeting = []byte("Hello!!\n\x00")

func isTerminator(b []byte) bool {
	return len(b) >= 3 && b[0] == '.' && b[1] == '\r' && b[2] == '\n' && (len(b) == 3 || b[3] == 0)
}

func serve(c net.Conn) {
	defer c.Close()
	if _, err := c.Write(greeting); err != nil {
		return
	}
	buf := make([]byte, 1024)
	for {
		n, err := c.Read(buf) // one read is one chunk, as in capecho
		if err != nil {
			return // EOF or error
		}
		chunk := buf[:n]
		if isTerminator(chunk) {
			return
		}
		// Not bytes.ToUpper: it works on UTF-8 and would rewrite non-ASCII bytes.
		for i, b := range chunk {
			if 'a' <= b && b <= 'z' {
				chunk[i] = b - ('a' - 'A')
			}
		}
		if _, err := c.Write(chunk); err != nil { // Write completes or fails
			return
		}
	}
}

func main() {
	port := "0"
	if len(os.Args) > 1 {
		port = os.Args[1]
	}
	ln, err := net.Listen("tcp4", "127.0.0.1:"+port)
	if err != nil {
		log.Fatal(err)
	}
	fmt.Fprintf(os.Stderr, "listening on %s\n", ln.Addr())
	for {
		c, err := ln.Accept()
		if err != nil { // out of descriptors: back off as net/http does, or the loop spins
			log.Print(err)
			time.Sleep(50 * time.Millisecond)
			continue
		}
		go serve(c)
	}
}
