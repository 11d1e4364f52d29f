/* capecho: an upper-casing echo service for one connected stream socket. */
#ifndef CAPECHO_H
#define CAPECHO_H

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Serves one client on the connected stream descriptor `sockfd`: sends the
 * 9-byte greeting "Hello!!\n" plus a zero byte, then answers every chunk the
 * client sends with the same bytes, letters upper-cased in the calling
 * thread's locale, until the client sends the terminator chunk ".\r\n".
 * Returns on the terminator, on end of stream, or when the connection fails.
 * The descriptor stays open and belongs to the caller; nothing else in the
 * process is touched.
 */
void send_msg(int sockfd);

#ifdef __cplusplus
}
#endif

#endif /* CAPECHO_H */
